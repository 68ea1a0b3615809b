# Cross-compiles for 64-bit Windows with MinGW-w64 (the posix thread model,
# which the C++ threads of oneTBB and of the tests need). Used by
# scripts/windows_core.sh; the programs it builds run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARN_MINGW_PREFIX}-windres)

# Headers and libraries from the MinGW sysroot and from the given prefixes
# (CMAKE_PREFIX_PATH, e.g. a MinGW build of oneTBB); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# ctest (and try_run) run the cross-built programs through Wine.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
