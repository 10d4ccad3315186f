# Cross build for Windows with Debian's mingw-w64 (the posix-thread g++, for std::thread).
# TR350_MINGW_ARCH picks the word size: x86_64 (default) or i686 (32-bit, as the original).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10)
if(NOT DEFINED TR350_MINGW_ARCH)
  set(TR350_MINGW_ARCH "$ENV{TR350_MINGW_ARCH}")
endif()
if(NOT TR350_MINGW_ARCH)
  set(TR350_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${TR350_MINGW_ARCH})
set(triple ${TR350_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_ASM_COMPILER ${triple}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing to ship beside the .exe: the C++ run-time and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine, through a wrapper that keeps a Wine prefix in the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh")
