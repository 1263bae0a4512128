# Installation as a desktop program, and the .deb built from it by the
# `package` target. Included last from the top-level CMakeLists.txt: the package
# holds everything any install() rule in the project installs, so a new program
# with its own install(TARGETS ...) needs nothing added here.
include(GNUInstallDirs)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantis-sim.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantis-sim.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantis-sim)
set(CPACK_PACKAGE_VENDOR "Vantis simulator developers")
set(CPACK_PACKAGE_CONTACT "Vantis simulator developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop stand-in for the Vantis rib-deflection instrument")
set(CPACK_PACKAGE_DESCRIPTION
    "Serves the instrument's line protocol, recording cycle and data download to one TCP client on port 3000, with an operator panel that picks the dummy model, fires the trigger and shows all traffic.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# Library dependencies come from the installed executables (dpkg-shlibdeps).
# Qt's platform plugins are loaded at run time, so no executable names them:
# without them there is no window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# One package for every install() rule, whatever component it names.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_MONOLITHIC_INSTALL ON)
include(CPack)
