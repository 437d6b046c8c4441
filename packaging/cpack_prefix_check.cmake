# Read by cpack (CPACK_PROJECT_CONFIG_FILE) before it builds a package: a
# Debian package from a build for another prefix than /usr would install
# there, and its programs would look for their files there.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL CPACK_QMX_PACKAGE_PREFIX)
  message(FATAL_ERROR "This build installs into ${CPACK_PACKAGING_INSTALL_PREFIX}; the Debian package is built "
                      "from a build for ${CPACK_QMX_PACKAGE_PREFIX}: cmake --preset release, or "
                      "-DCMAKE_INSTALL_PREFIX=${CPACK_QMX_PACKAGE_PREFIX}")
endif()
