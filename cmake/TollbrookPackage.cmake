# The Debian package, made by CPack from what `cmake --install` installs
# (cmake/TollbrookInstall.cmake). scripts/package.sh configures a tree with
# the prefix /usr, so the configuration lands in /etc, and runs cpack there.
#
# The maintainer scripts in packaging/debian/ make the system user and keep
# systemd informed; the configuration is a conffile, so an administrator's
# changes survive upgrades.

set(TOLLBROOK_PACKAGE_MAINTAINER "Tollbrook developers <tollbrook@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tollbrook)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TOLLBROOK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ARC (RFC 8617) milter and tools for mail servers")
set(CPACK_PACKAGE_DESCRIPTION
    "tollbrook is a milter daemon that validates the Authenticated Received Chain of each
message, records the verdict in an Authentication-Results field, removes
forged Authentication-Results and, on sealing listeners, adds a new ARC set.
tollbrook-seal, tollbrook-check and tollbrook-testkey run the same code on
message files and check published keys.")
# Only the installed tree goes into the package, under the prefix configured.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps derives the libraries from the programs, with versions:
# libssl3, libzmq5 (only the daemon links it), libstdc++6, libc6. adduser is
# for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")

configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/conffiles.in
               ${PROJECT_BINARY_DIR}/packaging/debian/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
