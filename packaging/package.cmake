# Installation as a desktop program, and the .deb built from it by the
# `package` target. Included last from the top-level CMakeLists.txt: the package
# holds everything any install() rule in the project installs, so a new program
# with its own install(TARGETS ...) needs nothing added here.
include(GNUInstallDirs)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantis-sim.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantis-sim.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages and the Debian changelog, gzipped as Debian wants them: at the
# highest compression and without gzip's time stamp (-n), so that two builds of
# the same sources give the same bytes.
set(vantis_gzipped "")
function(vantis_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" >\"$2\"" sh ${source} ${output}
    DEPENDS ${source} VERBATIM)
  set(vantis_gzipped ${vantis_gzipped} ${output} PARENT_SCOPE)
endfunction()
foreach(page vantis-sim vantis-ctl vantis-replay)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  vantis_gzip(${CMAKE_BINARY_DIR}/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# A native package's changelog is changelog.gz (no upstream one beside it).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/doc)
vantis_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_target(vantis_gzipped ALL DEPENDS ${vantis_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantis-sim)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/bash-completion/vantis-ctl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The protocol's dissector, where Wireshark and tshark look for Lua plugins.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(vantis_wireshark_plugins lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
else()
  set(vantis_wireshark_plugins lib/wireshark/plugins)
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/wireshark/vantis.lua DESTINATION ${vantis_wireshark_plugins})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantis-sim)
set(CPACK_PACKAGE_VENDOR "Vantis simulator developers")
set(CPACK_PACKAGE_CONTACT "Vantis simulator developers <vantis-sim@users.noreply.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop stand-in for the Vantis rib-deflection instrument")
# The long description, in lines of at most 80 characters (CPack indents them
# for the control file).
set(CPACK_PACKAGE_DESCRIPTION [=[
Point host software for the Vantis measurement instrument of crash-test
dummies at this program instead of the instrument: it serves the instrument's
checksummed line protocol, its recording cycle (erase, arm, trigger) and its
binary data download to one TCP client on port 3000, with an operator panel
that picks the dummy model, fires the trigger, sets the battery state, the
mounting direction and the download speed, and shows all traffic.

vantis-ctl, its command-line client, works the panel from scripts through a
local control socket; with Qt's offscreen platform the simulator runs without
a display, as in continuous integration.

It captures every conversation as a pcap file, brings a Wireshark dissector for
the protocol, and vantis-replay checks an instrument or the simulator against
a captured session, reply by reply.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# Library dependencies come from the installed executables (dpkg-shlibdeps).
# Qt's platform plugins are loaded at run time, so no executable names them:
# without them there is no window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The dissector is for them; the captures need only libpcap (found by shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark, tcpdump")
# One package for every install() rule, whatever component it names.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_MONOLITHIC_INSTALL ON)
include(CPack)
