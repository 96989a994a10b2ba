# Cross build for 64-bit Windows with Debian's mingw-w64, posix thread model
# (std::thread and std::mutex come from winpthread). Every program links the
# compiler's runtimes statically, so it needs no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLLANDER_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOLLANDER_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLLANDER_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLLANDER_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLLANDER_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TOLLANDER_CCACHE ccache)
if(TOLLANDER_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${TOLLANDER_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TOLLANDER_CCACHE})
endif()

