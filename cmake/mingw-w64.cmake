# What the two MinGW-w64 toolchain files share: Debian's cross compilers
# (posix thread model) for MINGW_TRIPLET, and Wine to run what they build.
# WINE_PROGRAM is the Wine loader for this word size: the 64-bit one is
# started directly, since the `wine` wrapper starts the 32-bit loader when it
# is installed, and the 32-bit one needs a kernel that runs 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine gets a prefix of its own in the build folder, so that the tests
# neither use nor change the user's ~/.wine.
find_program(WINE_PROGRAM NAMES ${WINE_LOADER_NAMES} PATHS /usr/lib/wine)
find_program(WINE_SERVER NAMES ${WINE_SERVER_NAMES} PATHS /usr/lib/wine)
if(WINE_PROGRAM AND WINE_SERVER)
  set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${WINE_PREFIX} WINEDEBUG=-all
                                    WINESERVER=${WINE_SERVER} ${WINE_PROGRAM})
endif()
