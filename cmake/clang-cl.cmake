# What the clang-cl toolchain files share: Debian's clang-cl and lld-link as Visual
# Studio would use them, on mingw-w64's headers, so that the build takes its MSVC
# branch. They set the processor, the mingw-w64 triple and llvm-dlltool's machine.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

find_program(CMAKE_CXX_COMPILER clang-cl-19 REQUIRED)
find_program(CMAKE_LINKER lld-link-19 REQUIRED)
string(REPLACE "-w64-mingw32" "-pc-windows-msvc" CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_CXX_FLAGS_INIT
    "-imsvc ${CMAKE_FIND_ROOT_PATH}/include /FI${CMAKE_CURRENT_LIST_DIR}/clang-cl-mingw-w64.h")

# lld-link reads import libraries in Visual Studio's naming, and its /SAFESEH refuses
# mingw-w64's 32-bit ones, whose members carry no mark that they are safe:
# llvm-dlltool remakes the ones the build links, with the same exports.
find_program(nm llvm-nm-19 REQUIRED)
find_program(dlltool llvm-dlltool-19 REQUIRED)
set(imp __imp_)
if(machine STREQUAL "i386")
    set(imp __imp__)  # 32-bit names carry a leading underscore
endif()
set(libraries ${CMAKE_BINARY_DIR}/import-libraries)
foreach(dll kernel32 advapi32 user32)
    execute_process(COMMAND ${nm} --defined-only -j ${CMAKE_FIND_ROOT_PATH}/lib/lib${dll}.a
        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "${imp}[^\n]+" exports "${symbols}")
    list(TRANSFORM exports REPLACE "^${imp}" "")
    list(JOIN exports "\n" exports)
    string(TOUPPER ${dll} name)
    file(WRITE ${libraries}/${dll}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${dlltool} -m ${machine} -k -d ${libraries}/${dll}.def
        -l ${libraries}/${dll}.lib COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT /LIBPATH:${libraries})
