# Install tree: PREFIX/bin/r3krun, PREFIX/mips/{bin,include,lib}.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION mips/include)
install(FILES ${R3K_TARGET_DIR}/lib/libr3k.a ${R3K_TARGET_DIR}/lib/libr3kgcc.a ${R3K_TARGET_DIR}/lib/r3k.ld
        ${R3K_TARGET_DIR}/lib/libstdc++.a ${R3K_TARGET_DIR}/lib/libm.a
        DESTINATION mips/lib)
# The compiler runtime is GCC's code: its licence and exception go with it.
install(FILES ${CMAKE_SOURCE_DIR}/compiler/README.md ${R3K_TARGET_DIR}/compiler/gcc/COPYING3
        ${R3K_TARGET_DIR}/compiler/gcc/COPYING.RUNTIME ${R3K_TARGET_DIR}/compiler/gcc/COPYING.LIB DESTINATION mips/share/doc/libr3kgcc)
install(PROGRAMS ${R3K_TARGET_DIR}/bin/quendle ${R3K_TARGET_DIR}/bin/tallowin
        ${R3K_TARGET_DIR}/bin/marrowick DESTINATION mips/bin OPTIONAL)

# The specs file names absolute paths, so it is written at install time,
# for the prefix actually chosen then.
execute_process(COMMAND mips-linux-gnu-gcc -print-file-name=include
                OUTPUT_VARIABLE R3K_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)
install(CODE "
  set(R3K_SPECS_INCLUDE \"\${CMAKE_INSTALL_PREFIX}/mips/include\")
  set(R3K_SPECS_LIB \"\${CMAKE_INSTALL_PREFIX}/mips/lib\")
  set(R3K_GCC_INCLUDE \"${R3K_GCC_INCLUDE}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/r3k.specs.in\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/mips/lib/r3k.specs\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/mips/lib/r3k.specs\")
")
