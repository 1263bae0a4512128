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

# The documents a user needs away from the source tree, with the examples; the
# capture document travels too once there is one.
set(vantis_docdir ${CMAKE_INSTALL_DATADIR}/doc/vantis-sim)
set(vantis_docs ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/control.md)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/capture.md)
  list(APPEND vantis_docs ${PROJECT_SOURCE_DIR}/docs/capture.md)
endif()
install(FILES ${vantis_docs} DESTINATION ${vantis_docdir})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${vantis_docdir}/examples
        PATTERN __pycache__ EXCLUDE PATTERN .pytest_cache EXCLUDE)

# The Python package vantis_sim with its metadata (which carries the pytest
# plugin's entry point), where Debian's python3 finds it: /usr/lib/python3/
# dist-packages under /usr (the .deb), the versioned dist-packages elsewhere
# (cmake --install into /usr/local). The prefix is known only at install time.
file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml vantis_python_version_line REGEX "^version = ")
if(NOT vantis_python_version_line STREQUAL "version = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "python/pyproject.toml has ${vantis_python_version_line}; the project is ${PROJECT_VERSION}")
endif()
find_program(VANTIS_PYTHON3 NAMES python3 HINTS /usr/bin)
set(vantis_python_minor 3)
if(VANTIS_PYTHON3)
  execute_process(COMMAND ${VANTIS_PYTHON3} -c "import sys; print('%d.%d' % sys.version_info[:2])"
                  OUTPUT_VARIABLE vantis_python_minor OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(vantis_distinfo ${CMAKE_BINARY_DIR}/python/vantis_sim-${PROJECT_VERSION}.dist-info)
file(WRITE ${vantis_distinfo}/METADATA
     "Metadata-Version: 2.1\nName: vantis-sim\nVersion: ${PROJECT_VERSION}\n"
     "Summary: Drive Vantis simulators from Python: instrument client, control channel and pytest fixtures\n"
     "License: MIT\nRequires-Python: >=3.11\n")
file(WRITE ${vantis_distinfo}/entry_points.txt "[pytest11]\nvantis_sim.pytest_plugin = vantis_sim.pytest_plugin\n")
install(CODE "set(vantis_python_package \"${PROJECT_SOURCE_DIR}/python/vantis_sim\")
set(vantis_python_distinfo \"${vantis_distinfo}\")
set(vantis_python_minor \"${vantis_python_minor}\")")
install(CODE [[
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(vantis_python_dir "${CMAKE_INSTALL_PREFIX}/lib/python3/dist-packages")
else()
  set(vantis_python_dir "${CMAKE_INSTALL_PREFIX}/lib/python${vantis_python_minor}/dist-packages")
endif()
file(INSTALL "${vantis_python_package}" "${vantis_python_distinfo}" DESTINATION "${vantis_python_dir}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     PATTERN __pycache__ EXCLUDE)
]])

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
# The dissector is for wireshark or tshark; the captures need only libpcap
# (found by shlibdeps). python3 for the Python package (any architecture's: it is pure Python).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, python3:any")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pytest, wireshark | tshark, tcpdump")
# The Python package is byte-compiled on installation and its compiled files
# removed before removal, as Debian does for every Python module.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# One package for every install() rule, whatever component it names.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_MONOLITHIC_INSTALL ON)
include(CPack)
