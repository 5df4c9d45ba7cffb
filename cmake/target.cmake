# The target world: runtime library, check programs and test guests for a
# MIPS-I R3000, built freestanding with the cross compiler.
enable_language(C CXX ASM)

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE R3K_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

set(R3K_ARCH_FLAGS -march=mips1 -mabi=32 -EB -mfp32 -msoft-float
    -mno-abicalls -fno-pic -G 8)
add_compile_options(
  ${R3K_ARCH_FLAGS}
  -ffreestanding -nostdinc -isystem ${R3K_GCC_INCLUDE}
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  # Keep the compiler from turning a byte loop into a call of the very
  # routine being defined (strlen calling strlen).
  -fno-tree-loop-distribute-patterns
  # Divisors in the library are never zero; the checks would only cost space.
  -mno-check-zero-division
  # One section per routine, so a program keeps only the routines it uses.
  -ffunction-sections -fdata-sections
  -Wall -Wextra $<$<BOOL:${R3K_WERROR}>:-Werror>
  "$<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions;-fno-rtti;-fno-threadsafe-statics;-fno-use-cxa-atexit>")
include_directories(${CMAKE_SOURCE_DIR}/include ${CMAKE_BINARY_DIR}/include)

set(R3K_LIB_DIR ${CMAKE_BINARY_DIR}/lib)
set(R3K_LINK_SCRIPT ${R3K_LIB_DIR}/r3k.ld)
configure_file(${CMAKE_SOURCE_DIR}/cmake/r3k.ld ${R3K_LINK_SCRIPT} COPYONLY)
# g++ always asks for -lstdc++ and -lm.  -lm is libm.a, what <math.h>
# declares (math/).  The C++ support (constructors, operator delete,
# __cxa_atexit) is in libr3k.a, except __cxa_pure_virtual: vtables name it
# only weakly, which takes nothing from an archive and would leave a null
# pointer in the vtable.  So -lstdc++ is a link script that links its
# object into every C++ program.
file(GLOB R3K_MATH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/math/*.cpp)
add_library(r3km STATIC ${R3K_MATH_SOURCES})
set_target_properties(r3km PROPERTIES OUTPUT_NAME m ARCHIVE_OUTPUT_DIRECTORY ${R3K_LIB_DIR})
file(WRITE ${R3K_LIB_DIR}/libstdc++.a
     "/* g++ links -lstdc++: a pure virtual call reports and aborts. */\nINPUT(r3k-cxx.o)\n")
set(R3K_CXX_OBJECT ${CMAKE_SOURCE_DIR}/runtime/cxa_pure_virtual.cpp)
add_library(r3k_cxx OBJECT ${R3K_CXX_OBJECT})
add_custom_command(OUTPUT ${R3K_LIB_DIR}/r3k-cxx.o
                   COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:r3k_cxx> ${R3K_LIB_DIR}/r3k-cxx.o
                   DEPENDS r3k_cxx $<TARGET_OBJECTS:r3k_cxx> VERBATIM)
add_custom_target(r3k_cxx_object ALL DEPENDS ${R3K_LIB_DIR}/r3k-cxx.o)

file(GLOB R3K_LIB_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/runtime/*.S ${CMAKE_SOURCE_DIR}/runtime/*.cpp
     ${CMAKE_SOURCE_DIR}/format/*.cpp ${CMAKE_SOURCE_DIR}/diag/*.cpp
     ${CMAKE_SOURCE_DIR}/string/*.cpp)
list(REMOVE_ITEM R3K_LIB_SOURCES ${R3K_CXX_OBJECT})
add_library(r3k STATIC ${R3K_LIB_SOURCES})
set_target_properties(r3k PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${R3K_LIB_DIR})
# The compiler's runtime, libr3kgcc.a, beside it.
add_subdirectory(${CMAKE_SOURCE_DIR}/compiler ${CMAKE_BINARY_DIR}/compiler)

# A statically linked program: our link script, our archives (the library,
# then the compiler's runtime), nothing else.
function(r3k_program name outdir)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE r3k r3kgcc)
  target_link_options(${name} PRIVATE ${R3K_ARCH_FLAGS} -nostdlib -static -no-pie
                      -Wl,-T,${R3K_LINK_SCRIPT} -Wl,--build-id=none -Wl,--gc-sections)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${outdir}
                        LINK_DEPENDS ${R3K_LINK_SCRIPT})
endfunction()

foreach(prog quendle tallowin marrowick)
  file(GLOB src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/programs/${prog}/*.cpp)
  if(src)
    r3k_program(${prog} ${CMAKE_BINARY_DIR}/bin ${src})
  endif()
endforeach()

# Test guests: one program per source file in tests/guest.
file(GLOB R3K_GUESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/guest/*.S
     ${CMAKE_SOURCE_DIR}/tests/guest/*.c ${CMAKE_SOURCE_DIR}/tests/guest/*.cpp)
foreach(src ${R3K_GUESTS})
  get_filename_component(name ${src} NAME_WE)
  r3k_program(guest_${name} ${CMAKE_BINARY_DIR}/guests ${src})
  set_target_properties(guest_${name} PROPERTIES OUTPUT_NAME ${name})
endforeach()
# The debugger's guest is built as users build what they debug.
target_compile_options(guest_debugme PRIVATE -g -O0 -mcheck-zero-division)
# The runtime tests call libm's routines beside the compiler's.
target_link_libraries(guest_compiler_rt PRIVATE r3km r3kgcc)

# The loop that bench/loop_bench runs on r3krun and on qemu-mips.
add_subdirectory(${CMAKE_SOURCE_DIR}/bench/target ${CMAKE_BINARY_DIR}/bench-target)

# The check kit: one program per family of kernel calls and their runner,
# built with the library as any program is (docs/kit.md).
file(GLOB R3K_KIT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/kit/*.cpp)
foreach(src ${R3K_KIT_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  r3k_program(kit_${name} ${CMAKE_BINARY_DIR}/kit ${src})
  set_target_properties(kit_${name} PROPERTIES OUTPUT_NAME ${name})
endforeach()
