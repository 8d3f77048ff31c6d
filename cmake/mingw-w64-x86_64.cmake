# Cross-compiles the same sources as a 64-bit Windows program, for machines
# whose kernel runs no 32-bit programs: its tests run under wine64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(WINE_LOADER_NAMES wine64)
set(WINE_SERVER_NAMES wineserver64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
