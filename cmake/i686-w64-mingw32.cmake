# Cross-compiles for 32-bit x86 Windows with Debian's mingw-w64 GCC (posix threads).
# Usage: cmake --preset windows-x86-gcc
set(CMAKE_SYSTEM_PROCESSOR x86)
set(triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

find_program(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix REQUIRED)
