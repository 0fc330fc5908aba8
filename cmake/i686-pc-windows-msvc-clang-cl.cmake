# Cross-compiles for 32-bit x86 Windows as Visual Studio does, with Debian's clang-cl
# and lld-link on mingw-w64's headers, so that the build takes its MSVC branch.
# Usage: cmake --preset windows-x86-clang-cl
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-target.cmake)

find_program(CMAKE_CXX_COMPILER clang-cl-19 REQUIRED)
find_program(CMAKE_LINKER lld-link-19 REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_CXX_FLAGS_INIT
    "-imsvc ${CMAKE_FIND_ROOT_PATH}/include /FI${CMAKE_CURRENT_LIST_DIR}/clang-cl-mingw-w64.h")

# lld-link's /SAFESEH refuses mingw-w64's import libraries, whose members carry no
# mark that they are safe: llvm-dlltool remakes the ones the build links, with
# the same exports.
find_program(nm llvm-nm-19 REQUIRED)
find_program(dlltool llvm-dlltool-19 REQUIRED)
set(libraries ${CMAKE_BINARY_DIR}/import-libraries)
foreach(dll kernel32 advapi32 user32)
    execute_process(COMMAND ${nm} --defined-only -j ${CMAKE_FIND_ROOT_PATH}/lib/lib${dll}.a
        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "__imp__[^\n]+" exports "${symbols}")
    list(TRANSFORM exports REPLACE "^__imp__" "")
    list(JOIN exports "\n" exports)
    string(TOUPPER ${dll} name)
    file(WRITE ${libraries}/${dll}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${dlltool} -m i386 -k -d ${libraries}/${dll}.def
        -l ${libraries}/${dll}.lib COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT /LIBPATH:${libraries})
