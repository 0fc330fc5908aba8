# Cross-compiles for x64 Windows with Debian's clang 19 and lld, on mingw-w64's
# headers and import libraries alone. Usage: cmake --preset windows-x64-clang
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

find_program(CMAKE_CXX_COMPILER clang++-19 REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_SYSROOT ${CMAKE_FIND_ROOT_PATH})
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
