# CMake toolchain file for programs of one's own against this library:
#   cmake -DCMAKE_TOOLCHAIN_FILE=PREFIX/mips/lib/r3k-toolchain.cmake ...
# The tree is found from this file's own place, so it may move.
get_filename_component(R3K_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER "${R3K_PREFIX}/bin/r3k-cc")
set(CMAKE_CXX_COMPILER "${R3K_PREFIX}/bin/r3k-c++")
set(CMAKE_ASM_COMPILER "${R3K_PREFIX}/bin/r3k-cc")
# add_test and ctest run the MIPS programs on this tree's machine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${R3K_PREFIX}/bin/r3krun")
# The drivers' names do not tell CMake the binutils prefix.
set(CMAKE_AR mips-linux-gnu-ar)
set(CMAKE_RANLIB mips-linux-gnu-ranlib)
set(CMAKE_OBJCOPY mips-linux-gnu-objcopy)
set(CMAKE_OBJDUMP mips-linux-gnu-objdump)
set(CMAKE_STRIP mips-linux-gnu-strip)

# Look for headers and libraries in this tree only, for programs on the host.
set(CMAKE_FIND_ROOT_PATH "${R3K_PREFIX}/mips")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
