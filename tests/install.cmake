# What `cmake --install` installs, checked in a staging tree by
# tests/install_test.sh: the files, the installed tools and daemon at work, and
# the systemd unit (systemd-analyze verify, where it is installed) and the
# FreeBSD rc.d script. The Debian
# package is tested by scripts/package-test.sh, which needs root.
set(install_test_paths
    ${PROJECT_BINARY_DIR} ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_SBINDIR}
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_MANDIR} ${TOLLBROOK_CONFIG_FILE})
set(install_test_unit "")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(install_test_unit ${TOLLBROOK_SYSTEMD_UNIT_DIR}/tollbrook.service)
endif()
foreach(mode tree unit rcd)
  tollbrook_add_test(install_${mode} /bin/bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${mode}
                     ${install_test_paths} "${install_test_unit}"
                     ${PROJECT_BINARY_DIR}/packaging/tollbrook.rc)
  # cmake --install writes the build's install_manifest.txt: one at a time.
  set_tests_properties(install_${mode} PROPERTIES SKIP_RETURN_CODE 77
                                                  RESOURCE_LOCK tollbrook_install)
endforeach()
