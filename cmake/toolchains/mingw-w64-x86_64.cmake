# 64-bit Windows with Debian's mingw-w64 (posix thread model).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
#         -DTACETRA_FFMPEG_PREFIX=<FFmpeg built for Windows: bin/ include/ lib/>
# Tests run under wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_host x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_host}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_host}-windres)

set(TACETRA_FFMPEG_PREFIX "" CACHE PATH "FFmpeg built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_host} ${TACETRA_FFMPEG_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the Windows FFmpeg, never the build machine's.
if(TACETRA_FFMPEG_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${TACETRA_FFMPEG_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()

find_program(TACETRA_WINE NAMES wine wine64)
if(TACETRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TACETRA_WINE})
endif()
