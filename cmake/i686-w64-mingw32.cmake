# Cross-compiles for 32-bit x86 Windows with Debian's mingw-w64 GCC (posix threads).
# Usage: cmake --preset windows-x86
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

find_program(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine, in a throwaway prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/harness.py exec)
