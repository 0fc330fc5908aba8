# What the toolchain files share: Windows on the processor they set, mingw-w64's
# headers and import libraries for the triple they set, and Wine to run test
# programs in a throwaway prefix.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The program links no C runtime, so the compiler checks compile and do not link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/harness.py exec)
