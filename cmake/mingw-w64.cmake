# Cross build of the Windows program (x86-64) with MinGW-w64 from a Linux
# host: Debian's g++-mingw-w64-x86-64-win32.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVI_MINGW x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${TAVI_MINGW}-g++)
set(CMAKE_RC_COMPILER ${TAVI_MINGW}-windres)

# Headers and libraries come from the cross sysroot only, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVI_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
