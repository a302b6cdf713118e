# Unpacks the component package into a fresh directory and plays a tiny
# playlist with the module loaded from there: it must start, publish and quit.
# Arguments: -DPACKAGE=<archive> -DRUNNER=<wine-run> -DPLAYER=<vek-player.exe>
#            -DPLAYLIST=<tiny.playlist> -DWORK=<scratch directory>
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${PACKAGE} OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT listing STREQUAL "foo_vek_ipc.dll\n")
  message(FATAL_ERROR "the package must hold foo_vek_ipc.dll alone at its root, not:\n${listing}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${PACKAGE} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${PACKAGE}")
endif()

execute_process(
  COMMAND ${RUNNER} ${PLAYER} --verbose --step-ms 100 --component ${WORK}/foo_vek_ipc.dll ${PLAYLIST}
  WORKING_DIRECTORY ${WORK}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
string(REPLACE "\r" "" output "${output}")
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "vek-player ended with ${result}:\n${output}${errors}")
endif()

# The module path proves the unpacked copy was loaded, not the one beside vek-player.
set(expected_after_module [=[
[player] service {10BB3EBD-DDF7-4975-A3CC-23084829453E}
[player] service {113773C4-B387-4B48-8BDF-AB58BC6CE538}
loaded VEK IPC 0.3.0 (foo_vek_ipc.dll)
[player] about: IPC plugin for XMPP PEP Events publisher @ ZEB IM
[console] VEK IPC Plugin Initialized
[player] handler registered for events 0xD6: new_track, playback_stopped, pause_changed, dynamic_info, dynamic_info_track
[event] line 2: new_track
[event] line 2: dynamic_info title=Tiny; artist=Package Test; length 1 s
[event] line 7: playback_stopped user
]=])
string(FIND "${output}" "\n" first_break)
string(SUBSTRING "${output}" 0 ${first_break} module_line)
math(EXPR rest_start "${first_break} + 1")
string(SUBSTRING "${output}" ${rest_start} -1 rest)
get_filename_component(work_name ${WORK} NAME)
if(NOT module_line MATCHES "^\\[player\\] module [A-Za-z]:\\\\.*\\\\${work_name}\\\\foo_vek_ipc\\.dll, client interface 76$")
  message(FATAL_ERROR "the module was not loaded from the unpacked package:\n${output}")
endif()
if(NOT rest STREQUAL expected_after_module)
  message(FATAL_ERROR "unexpected output of vek-player:\n${output}\nexpected after the module line:\n${expected_after_module}")
endif()
file(REMOVE_RECURSE ${WORK})
