# Start-up with a display that cannot be opened ends cleanly: status 255, one
# line on stderr naming the display and the way to run without one, no abort.
# usage: cmake -DPROGRAM=path/to/vantis-sim -DWORK=scratch-dir -P display_failure.cmake

# An X display number nothing listens on, path or abstract socket alike.
file(READ /proc/net/unix sockets)
set(free_display "")
foreach(n RANGE 55 99)
  if(NOT sockets MATCHES "/tmp/\\.X11-unix/X${n}\n")
    set(free_display ":${n}")
    break()
  endif()
endforeach()
if(free_display STREQUAL "")
  message(FATAL_ERROR "no free X display number between :55 and :99")
endif()
file(MAKE_DIRECTORY "${WORK}")

set(failures 0)
# run(NAME EXPECTED_REGEX VAR=VALUE...): VAR= with nothing after unsets VAR.
function(run name expected)
  set(env_args)
  foreach(var DISPLAY WAYLAND_DISPLAY WAYLAND_SOCKET QT_QPA_PLATFORM XDG_SESSION_TYPE XDG_RUNTIME_DIR)
    list(APPEND env_args --unset=${var})
  endforeach()
  foreach(setting ${ARGN})
    if(NOT setting MATCHES "=$")
      list(APPEND env_args "${setting}")
    endif()
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env_args} "${PROGRAM}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 30)
  set(problems "")
  if(NOT status STREQUAL "255")
    string(APPEND problems " status '${status}' instead of 255;")
  endif()
  string(REGEX MATCHALL "\n" newlines "${err}")
  list(LENGTH newlines lines)
  if(NOT lines EQUAL 1 OR NOT err MATCHES "\n$")
    string(APPEND problems " ${lines} line(s) on stderr instead of one;")
  endif()
  if(NOT err MATCHES "${expected}")
    string(APPEND problems " stderr does not match '${expected}';")
  endif()
  if(NOT err MATCHES "QT_QPA_PLATFORM=offscreen")
    string(APPEND problems " stderr does not name QT_QPA_PLATFORM=offscreen;")
  endif()
  if(problems STREQUAL "")
    message(STATUS "ok: ${name}: ${err}")
  else()
    message(SEND_ERROR "${name}:${problems}\nstderr: ${err}\nstdout: ${out}")
  endif()
endfunction()

run("X display with no server" "cannot open X display \"${free_display}\""
    DISPLAY=${free_display})
run("no DISPLAY at all" "cannot open X display \\(DISPLAY is not set\\)")
run("X asked for by name" "cannot open X display \"${free_display}\""
    DISPLAY=${free_display} QT_QPA_PLATFORM=xcb)
# A Wayland session whose compositor is gone, and no X either: both are named.
run("Wayland and X, neither there"
    "cannot open Wayland display \"vantis-none\" or X display \"${free_display}\""
    DISPLAY=${free_display} WAYLAND_DISPLAY=vantis-none XDG_RUNTIME_DIR=${WORK})
