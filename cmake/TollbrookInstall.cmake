# What `cmake --install` puts where, in the GNU directory layout: the daemon
# in sbin/, the tools in bin/, the manual pages, a configuration that starts
# safely (no sealing key, mode verify) in <sysconfdir>/tollbrook/, and the
# service file of the platform (a systemd unit on Linux, an rc.d script on
# FreeBSD). Nothing of the tests, benchmarks or fuzzers is installed.
#
# With the prefix /usr, GNUInstallDirs puts the configuration under /etc; with
# /usr/local (the default) under /usr/local/etc, where FreeBSD expects it.

include(GNUInstallDirs)

set(TOLLBROOK_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/tollbrook")
set(TOLLBROOK_CONFIG_FILE "${TOLLBROOK_CONFIG_DIR}/tollbrook.conf")
set(TOLLBROOK_DAEMON_PATH "${CMAKE_INSTALL_FULL_SBINDIR}/tollbrook")
# The daemon's default PidFile is /var/run/tollbrook/tollbrook.pid; /var/run
# is /run on Linux, and systemd wants the name it manages.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(TOLLBROOK_RUN_DIR "/run/tollbrook")
else()
  set(TOLLBROOK_RUN_DIR "/var/run/tollbrook")
endif()

install(TARGETS tollbrook-daemon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS tollbrook-seal tollbrook-check tollbrook-testkey
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The pages are picked at install time, so a page added to man/ is installed
# without running cmake again.
foreach(section 1 5 8)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          FILES_MATCHING PATTERN "*.${section}")
endforeach()

# The installed configuration: the daemon's defaults for a system service,
# with every sealing key left unset. A configuration already in place is the
# administrator's (its key, its listeners) and is kept: installing a new
# version must not quietly turn sealing off. The fully commented
# demonstration goes with the documentation.
configure_file(${PROJECT_SOURCE_DIR}/packaging/tollbrook.conf.in
               ${PROJECT_BINARY_DIR}/packaging/tollbrook.conf @ONLY)
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${TOLLBROOK_CONFIG_FILE}\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${TOLLBROOK_CONFIG_FILE}\")
  else()
    file(INSTALL DESTINATION \"${TOLLBROOK_CONFIG_DIR}\" TYPE FILE
         FILES \"${PROJECT_BINARY_DIR}/packaging/tollbrook.conf\")
  endif()")
install(FILES ${PROJECT_SOURCE_DIR}/examples/tollbrook.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The administrator's documents (design.md is for developers).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md" PATTERN "design.md" EXCLUDE)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Debian 12 ships units in /lib/systemd/system; the package sets that.
  set(TOLLBROOK_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
      CACHE PATH "Where the systemd unit is installed")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/tollbrook.service.in
                 ${PROJECT_BINARY_DIR}/packaging/tollbrook.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/tollbrook.service
          DESTINATION ${TOLLBROOK_SYSTEMD_UNIT_DIR})
endif()
# Made everywhere, so its test runs on Linux too; installed on FreeBSD.
configure_file(${PROJECT_SOURCE_DIR}/packaging/freebsd/tollbrook.in
               ${PROJECT_BINARY_DIR}/packaging/tollbrook.rc @ONLY)
if(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/tollbrook.rc
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rc.d RENAME tollbrook)
endif()
