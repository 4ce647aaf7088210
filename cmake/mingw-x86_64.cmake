# Cross-compiling the Windows program for x86_64 with the MinGW-w64 compilers: a test build of
# the same source, for machines whose kernel runs no 32-bit programs, where only 64-bit Wine
# can start it (tests/win32/run.sh). The product is the i686 build (cmake/mingw-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NIVO_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
