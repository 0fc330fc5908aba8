# Cross-compiles for 32-bit x86 Windows with Debian's clang and lld, on mingw-w64's
# headers and libraries. Usage: cmake --preset windows-x86-clang
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

find_program(CMAKE_C_COMPILER clang REQUIRED)
find_program(CMAKE_CXX_COMPILER clang++ REQUIRED)
find_program(CMAKE_AR llvm-ar REQUIRED)
find_program(CMAKE_RANLIB llvm-ranlib REQUIRED)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)

# clang cannot read the version from the name of GCC's "12-posix" folder, so it
# is named here: the C++ headers, the runtime libraries and the start-up objects
# that register the unwind tables (without them no exception is ever caught).
set(gcc /usr/lib/gcc/i686-w64-mingw32/12-posix)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${gcc}/include/c++ ${gcc}/include/c++/i686-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -B${gcc} -L${gcc}")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine, in a throwaway prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/harness.py exec)
