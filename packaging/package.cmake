# Installation and the Debian packages, three from one build:
#   vtrlcfg  the wizard, with its desktop entry and icon
#   vtrlctl  the command line, QtCore only, for headless line PCs
#   vtrlsim  the device simulator, for benches and training
# each with its manual page, copyright file and changelog.
# scripts/package.sh builds them into out/.
if(NOT (TARGET vtrlcfg AND TARGET vtrlctl AND TARGET vtrlsim))
  return()
endif()

include(GNUInstallDirs)
set(VTRL_PROGRAMS vtrlcfg vtrlctl vtrlsim)
set(VTRL_MAINTAINER "VtrlCfg maintainers <vtrlcfg@vantrel.example>")
set(vtrlcfg_MANPAGE ${PROJECT_SOURCE_DIR}/pages/vtrlcfg.1)
set(vtrlctl_MANPAGE ${PROJECT_SOURCE_DIR}/ctl/vtrlctl.1)
set(vtrlsim_MANPAGE ${PROJECT_SOURCE_DIR}/sim/vtrlsim.1)

# Compressed documents, built with everything so that a stale changelog
# (no entry for the project version) fails the build, not the release.
set(doc_dir ${CMAKE_BINARY_DIR}/packaging)
set(docs)
foreach(source ${vtrlcfg_MANPAGE} ${vtrlctl_MANPAGE} ${vtrlsim_MANPAGE} ${CMAKE_CURRENT_LIST_DIR}/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${doc_dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${doc_dir}/${name}.gz -DVERSION=${PROJECT_VERSION}
            -P ${CMAKE_CURRENT_LIST_DIR}/gzip_doc.cmake
    DEPENDS ${source} ${CMAKE_CURRENT_LIST_DIR}/gzip_doc.cmake
    VERBATIM)
  list(APPEND docs ${doc_dir}/${name}.gz)
endforeach()
add_custom_target(vtrl_package_docs ALL DEPENDS ${docs})

foreach(program ${VTRL_PROGRAMS})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${program})
  install(FILES ${doc_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${program})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${doc_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${program} COMPONENT ${program})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian/vtrlctl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT vtrlctl)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vtrlcfg.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vtrlcfg)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vtrlcfg.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT vtrlcfg)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vtrlcfg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VTRL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VTRL_MAINTAINER})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VTRL_PROGRAMS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_VTRLCFG_PACKAGE_NAME vtrlcfg)
# Qt starts no window without a platform plug-in, and libqt6gui6 only
# recommends them.
# The record's database drivers are plug-ins too: SQLite for the default file.
set(CPACK_DEBIAN_VTRLCFG_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite")
set(CPACK_DEBIAN_VTRLCFG_PACKAGE_RECOMMENDS libqt6sql6-psql)
set(CPACK_DEBIAN_VTRLCFG_PACKAGE_SUGGESTS "vtrlctl, vtrlsim")
set(CPACK_DEBIAN_VTRLCFG_DESCRIPTION "configuration wizard for Vantrel Bluetooth RS-232 radios
vtrlcfg commissions a Vantrel Bluetooth RS-232 cable-replacement radio
attached to a serial port: it finds the port and verifies the device,
discovers and bonds the remote device, sets the serial and radio settings
of both ends (or the identity and security of an SPP Server) and has the
device save them in flash.

Opening a serial port needs membership of the dialout group.")

set(CPACK_DEBIAN_VTRLCTL_PACKAGE_NAME vtrlctl)
set(CPACK_DEBIAN_VTRLCTL_PACKAGE_DEPENDS libqt6sql6-sqlite)
set(CPACK_DEBIAN_VTRLCTL_PACKAGE_RECOMMENDS libqt6sql6-psql)
set(CPACK_DEBIAN_VTRLCTL_PACKAGE_SUGGESTS vtrlsim)
set(CPACK_DEBIAN_VTRLCTL_DESCRIPTION "command line for Vantrel Bluetooth RS-232 radios
vtrlctl reads the settings of a Vantrel Bluetooth RS-232 radio into a
profile, puts a profile on the next device, saves it in flash and verifies
it, over the same protocol as the vtrlcfg wizard. It needs no display and
no GUI libraries, for headless line PCs and test benches.

Opening a serial port needs membership of the dialout group.")

set(CPACK_DEBIAN_VTRLSIM_PACKAGE_NAME vtrlsim)
set(CPACK_DEBIAN_VTRLSIM_DESCRIPTION "simulated Vantrel Bluetooth RS-232 radio on a pseudo-terminal
vtrlsim plays a Vantrel Bluetooth RS-232 radio, and the remote radios it
can reach, on a pseudo-terminal, so that the vtrlcfg wizard and vtrlctl
can be tried without hardware, on test benches and in training. Its
options script versions, names, pairing outcomes and faults such as
delays, refusals, silence and bad checksums.")

include(CPack)
