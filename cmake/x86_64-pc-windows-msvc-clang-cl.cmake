# Cross-compiles for x64 Windows as Visual Studio does (see clang-cl.cmake).
# Usage: cmake --preset windows-x64-clang-cl
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(triple x86_64-w64-mingw32)
set(machine i386:x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl.cmake)
