# Installation and the Debian package: the wizard, vtrlctl and the
# simulator, the wizard's desktop entry and icon, and vtrlctl's manual page.
# scripts/package.sh builds the package.
if(NOT (TARGET vtrlcfg AND TARGET vtrlctl AND TARGET vtrlsim))
  return()
endif()

include(GNUInstallDirs)
install(TARGETS vtrlcfg vtrlctl vtrlsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vtrlcfg.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vtrlcfg.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages are installed compressed, without a time stamp in the archive.
set(VTRL_MAN_GZ ${CMAKE_BINARY_DIR}/vtrlctl.1.gz)
add_custom_command(OUTPUT ${VTRL_MAN_GZ}
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/ctl/vtrlctl.1 > ${VTRL_MAN_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/ctl/vtrlctl.1
  VERBATIM)
add_custom_target(vtrl_manpages ALL DEPENDS ${VTRL_MAN_GZ})
install(FILES ${VTRL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vtrlcfg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VtrlCfg")
set(CPACK_PACKAGE_CONTACT "VtrlCfg maintainers <vtrlcfg@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration wizard and command-line tool for Vantrel RS-232 radios")
set(CPACK_PACKAGE_DESCRIPTION "VtrlCfg configures Vantrel Bluetooth RS-232 cable-replacement radios over a
serial port: vtrlcfg is the wizard, vtrlctl reads, saves and applies device
settings as profiles from the command line, and vtrlsim simulates a device
on a pseudo-terminal. The user must be in the dialout group to open serial ports.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
