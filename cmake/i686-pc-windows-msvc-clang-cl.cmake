# Cross-compiles for 32-bit x86 Windows as Visual Studio does (see clang-cl.cmake).
# Usage: cmake --preset windows-x86-clang-cl
set(CMAKE_SYSTEM_PROCESSOR x86)
set(triple i686-w64-mingw32)
set(machine i386)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl.cmake)
