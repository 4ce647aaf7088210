# Cross-compiling the Windows program for x86_64 with the MinGW-w64 compilers: a test build of
# the same source, for machines whose kernel runs no 32-bit programs, where only 64-bit Wine
# can start it (tests/win32/run.sh). The product is the i686 build (cmake/mingw-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NIVO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NIVO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${NIVO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${NIVO_MINGW_PREFIX}-windres)
set(CMAKE_STRIP ${NIVO_MINGW_PREFIX}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${NIVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
