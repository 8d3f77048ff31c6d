# Cross-compiles the 32-bit Windows program with MinGW-w64; its tests run
# under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
set(WINE_LOADER_NAMES wine)
set(WINE_SERVER_NAMES wineserver)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
