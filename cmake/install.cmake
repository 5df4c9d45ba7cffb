# Install tree: PREFIX/bin/{r3krun,r3kscan,r3k-cc,r3k-c++}, PREFIX/mips/{bin,include,lib}.
# Nothing in it names the prefix: the drivers, the specs file and the CMake
# toolchain file find the tree from their own paths.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION mips/include)
# The headers' values, generated from include/r3k/values.def (cmake/values.cmake).
install(DIRECTORY ${CMAKE_BINARY_DIR}/include/ DESTINATION mips/include)
install(FILES ${R3K_TARGET_DIR}/lib/libr3k.a ${R3K_TARGET_DIR}/lib/libr3kgcc.a ${R3K_TARGET_DIR}/lib/r3k.ld
        ${R3K_TARGET_DIR}/lib/libstdc++.a ${R3K_TARGET_DIR}/lib/r3k-cxx.o
        ${R3K_TARGET_DIR}/lib/libm.a
        ${CMAKE_SOURCE_DIR}/cmake/r3k.specs ${CMAKE_SOURCE_DIR}/cmake/r3k-toolchain.cmake
        DESTINATION mips/lib)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/cmake/r3k.specs.d DESTINATION mips/lib)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/cmake/r3k-cc DESTINATION bin)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/cmake/r3k-cc DESTINATION bin RENAME r3k-c++)
# The compiler runtime is GCC's code: its licence and exception go with it.
install(FILES ${CMAKE_SOURCE_DIR}/compiler/README.md ${R3K_TARGET_DIR}/compiler/gcc/COPYING3
        ${R3K_TARGET_DIR}/compiler/gcc/COPYING.RUNTIME ${R3K_TARGET_DIR}/compiler/gcc/COPYING.LIB
        DESTINATION mips/share/doc/libr3kgcc)
install(PROGRAMS ${R3K_TARGET_DIR}/bin/quendle ${R3K_TARGET_DIR}/bin/tallowin
        ${R3K_TARGET_DIR}/bin/marrowick DESTINATION mips/bin OPTIONAL)
# The check kit: its programs and its page, to copy onto a kernel's disk.
foreach(prog procs files names pipes memory time badargs runall)
  install(PROGRAMS ${R3K_TARGET_DIR}/kit/${prog} DESTINATION mips/share/r3k-kit OPTIONAL)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/docs/kit.md DESTINATION mips/share/r3k-kit RENAME README.md)
# Documentation: the README and the pages of docs/ (r3krun.md, toolchain.md,
# ...), side by side as in the source tree's docs/, so the README's links
# "docs/X.md" are the only ones that change meaning once installed.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/r3k)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION share/doc/r3k)
