# Cross toolchain for the target world: Debian's mips-linux-gnu compiler,
# used freestanding so no cross glibc header, start file or library is seen.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)
set(CMAKE_ASM_COMPILER mips-linux-gnu-gcc)
set(CMAKE_AR mips-linux-gnu-ar)
set(CMAKE_RANLIB mips-linux-gnu-ranlib)
set(CMAKE_OBJCOPY mips-linux-gnu-objcopy)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
