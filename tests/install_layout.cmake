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
# The documents and examples, for a reader away from the source tree.
foreach(f README.md protocol.md control.md examples/ci-recipe.sh examples/pytest/test_first_cycle.py)
  if(NOT EXISTS "${PREFIX}/share/doc/vantis-sim/${f}")
    message(SEND_ERROR "not installed: share/doc/vantis-sim/${f}")
  endif()
endforeach()

# The Python package where python3 under this prefix looks, with the pytest
# plugin's entry point in its metadata.
file(GLOB python_dirs "${PREFIX}/lib/python3*/dist-packages")
string(REPLACE ";" ":" python_path "${python_dirs}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "PYTHONPATH=${python_path}" PYTHONDONTWRITEBYTECODE=1
  "${PYTHON}" -c "if 1:
    import importlib.metadata as md, vantis_sim
    assert vantis_sim.__file__.startswith('${PREFIX}/'), vantis_sim.__file__
    dist = md.distribution('vantis-sim')
    assert str(dist.locate_file('')).startswith('${PREFIX}/') and dist.version == vantis_sim.__version__
    plugin, = [e for e in dist.entry_points if e.group == 'pytest11']
    assert plugin.load().vantis_sim, plugin"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(SEND_ERROR "the installed Python package (in '${python_dirs}'): ${out}")
endif()

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
