# Cross-compiling the Windows program: 32-bit Windows with the i686 MinGW-w64 compilers.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(NIVO_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
