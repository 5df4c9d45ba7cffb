# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): the .deb
# installs under /usr, the archive holds the tree under its top directory.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_SET_DESTDIR OFF)
endif()
