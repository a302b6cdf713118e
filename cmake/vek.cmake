# Helpers shared by every directory.

# vek_add_test(NAME <name> SOURCES <files...> LIBS <libs...>)
# One executable, one ctest entry: under Wine each process start costs, so a
# suite runs as a whole rather than one process per case.
function(vek_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# vek_add_component_variant(<name> [DEFINITIONS <defs...>] [SOURCES <files...>] [EXCLUDE <file names...>])
# Another build of the whole component from its sources, as a DLL named
# <name>.dll linked like the shipped one: for measurements and tests that need
# the same code compiled differently, with test-only parts added or some left out.
function(vek_add_component_variant name)
  cmake_parse_arguments(V "" "" "DEFINITIONS;SOURCES;EXCLUDE" ${ARGN})
  set(sources)
  foreach(library vek_platform vek_support vek_host vek_publisher vek_component)
    get_target_property(directory ${library} SOURCE_DIR)
    get_target_property(files ${library} SOURCES)
    foreach(file ${files})
      if(NOT file IN_LIST V_EXCLUDE)
        list(APPEND sources ${directory}/${file})
      endif()
    endforeach()
  endforeach()
  add_library(${name} SHARED ${sources} ${PROJECT_SOURCE_DIR}/publisher/foo_vek_ipc.def ${V_SOURCES})
  target_compile_definitions(${name} PRIVATE ${V_DEFINITIONS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE vek_version user32 kernel32)
  vek_link_as_module(${name})
endfunction()

# Links a shared library as the shipped module is linked: no "lib" prefix,
# static runtime, stripped, exports only from its .def file.
function(vek_link_as_module target)
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_options(${target} PRIVATE -static -s -Wl,--enable-stdcall-fixup -Wl,--exclude-all-symbols
                      -Wl,--gc-sections)
endfunction()

# vek_system_headers(<target> <folder> <probe header> <Debian package>)
# An interface library for the headers in /usr/include/<folder>, reached
# through a link of that one folder.
function(vek_system_headers target folder probe package)
  set(directory /usr/include/${folder})
  if(NOT EXISTS ${directory}/${probe})
    message(FATAL_ERROR "${directory}/${probe} not found: install ${package}")
  endif()
  set(link_root ${CMAKE_BINARY_DIR}/system-headers/${target})
  file(MAKE_DIRECTORY ${link_root})
  file(CREATE_LINK ${directory} ${link_root}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${link_root})
endfunction()

# vek_install_windows(TARGETS <targets...> | FILES <files...>)
# A shipped Windows file: to share/vek-ipc when installing (component
# "windows"), and to the Windows release archive (component
# "windows_archive", which holds them at its root).
function(vek_install_windows kind)
  set(runtime)
  if(kind STREQUAL "TARGETS")
    set(runtime RUNTIME)
  endif()
  install(${kind} ${ARGN} ${runtime} DESTINATION ${VEK_INSTALL_DATA_DIR} COMPONENT windows)
  install(${kind} ${ARGN} ${runtime} DESTINATION . COMPONENT windows_archive EXCLUDE_FROM_ALL)
endfunction()
