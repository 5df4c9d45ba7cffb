# Packages of the install tree, made by `cpack` in the build tree:
#   r3k-VERSION-Linux.tar.gz  the tree under one top directory, to unpack
#                             anywhere (nothing in it names where it lies)
#   r3k_VERSION_ARCH.deb      the same tree under /usr: /usr/bin/r3krun,
#                             /usr/bin/r3k-cc, /usr/mips/...
# The .deb depends on the cross compiler the drivers call and on the
# shared libraries r3krun links (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_PACKAGE_NAME r3k)
set(CPACK_PACKAGE_VENDOR r3k)
set(CPACK_PACKAGE_CONTACT "r3k developers <r3k@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "R3000 runtime library, check programs and toolchain, with the stand-in machine r3krun")
set(CPACK_PACKAGE_DESCRIPTION
    "A minimal freestanding C and C++ runtime for a MIPS-I (R3000) kernel, three programs that check the kernel's \
processes, the drivers r3k-cc and r3k-c++ and a CMake toolchain file for building programs against it, and r3krun, \
a user-mode R3000 machine with a small kernel that runs them on this host.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_SOURCE_GENERATOR "")
# Each package is its own tree: no install of this build's other
# components, no absolute destination anywhere (install.cmake).
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "g++-mips-linux-gnu, binutils-mips-linux-gnu")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The archive keeps the tree relative to its top directory.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-generators.cmake)
include(CPack)
