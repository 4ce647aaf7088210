# The MinGW-w64 cross compilers named by NIVO_MINGW_PREFIX, included by the toolchain files
# cmake/mingw-i686.cmake (the product) and cmake/mingw-x86_64.cmake (a test build).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${NIVO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${NIVO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${NIVO_MINGW_PREFIX}-windres)
set(CMAKE_STRIP ${NIVO_MINGW_PREFIX}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${NIVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
