# Installs the build into a scratch prefix and checks what a desktop needs to
# list and start the program.
# usage: cmake -DBUILD_DIR=build -DPREFIX=scratch -DVALIDATE=desktop-file-validate -P install_layout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(desktop "${PREFIX}/share/applications/vantis-sim.desktop")
foreach(f bin/vantis-sim share/applications/vantis-sim.desktop share/icons/hicolor/scalable/apps/vantis-sim.svg)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(SEND_ERROR "not installed: ${f}")
  endif()
endforeach()
if(NOT IS_DIRECTORY "${PREFIX}/bin" OR NOT EXISTS "${desktop}")
  return()
endif()

execute_process(COMMAND "${VALIDATE}" "${desktop}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(SEND_ERROR "desktop-file-validate: ${out}")
endif()

# The entry starts the installed program, by the icon that was installed.
file(STRINGS "${desktop}" exec REGEX "^Exec=")
file(STRINGS "${desktop}" icon REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]*).*" "\\1" program "${exec}")
string(REGEX REPLACE "^Icon=" "" icon "${icon}")
if(NOT EXISTS "${PREFIX}/bin/${program}")
  message(SEND_ERROR "Exec names '${program}', which is not installed in bin/")
endif()
if(NOT EXISTS "${PREFIX}/share/icons/hicolor/scalable/apps/${icon}.svg")
  message(SEND_ERROR "Icon names '${icon}', which is not installed")
endif()
file(REMOVE_RECURSE "${PREFIX}")
