# Cross-compiles for 32-bit x86 Windows with Debian's clang and lld, on mingw-w64's
# headers and libraries. Usage: cmake --preset windows-x86-clang
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-target.cmake)

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
