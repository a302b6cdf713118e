# Helpers shared by every directory.

# vek_library(<target> <STATIC|OBJECT|INTERFACE> [SOURCES <files...>]
#             [DEPENDS <libraries...>] [PRIVATE_DEPENDS <libraries...>])
# A library of the current folder. Its headers are included as
# "<folder>/<header>" through a directory that holds only a link to this
# folder, so whatever links it sees its headers and those of what it DEPENDS
# on, and nothing else: an include of an undeclared library fails the build.
function(vek_library target kind)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  add_library(${target} ${kind} ${L_SOURCES})
  if(kind STREQUAL "INTERFACE")
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${L_DEPENDS})
  else()
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${L_DEPENDS} PRIVATE ${L_PRIVATE_DEPENDS})
  endif()
endfunction()

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

# vek_link_as_shipped_program(<target>)
# A Windows program that ships: linked stripped, since it is installed as
# linked (vek_install_windows), with its link map beside it (the target's
# VEK_LINK_MAP, with cross references), from which the checks of the image
# read its addresses.
function(vek_link_as_shipped_program target)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_link_options(${target} PRIVATE -s LINKER:-Map=${map},--cref)
  set_target_properties(${target} PROPERTIES VEK_LINK_MAP ${map})
endfunction()

# vek_install_windows(TARGETS <target> | FILES <files...>)
# A shipped Windows file: to share/vek-ipc when installing (component
# "windows"), and to the Windows release archive (component
# "windows_archive", which holds them at its root). A target is installed as
# the linker wrote it, so it must be linked stripped: a strip at install
# would write the PE time stamp anew, and the module shipped would no longer
# be the one in the component package.
function(vek_install_windows kind)
  set(files ${ARGN})
  set(how FILES)
  if(kind STREQUAL "TARGETS")
    list(LENGTH ARGN count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "vek_install_windows(TARGETS) takes one target")
    endif()
    get_target_property(options ${ARGN} LINK_OPTIONS)
    if(NOT "-s" IN_LIST options)
      message(FATAL_ERROR "${ARGN} is installed as linked: link it stripped (vek_link_as_shipped_program)")
    endif()
    set(files $<TARGET_FILE:${ARGN}>)
    # A module is loaded, never run: no execute bit.
    get_target_property(type ${ARGN} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(how PROGRAMS)
    endif()
  endif()
  install(${how} ${files} DESTINATION ${VEK_INSTALL_DATA_DIR} COMPONENT windows)
  install(${how} ${files} DESTINATION . COMPONENT windows_archive EXCLUDE_FROM_ALL)
endfunction()

# What a configuration needs is required: missing, configuring stops with one
# line that names the Debian package to install (indented, so that CMake does
# not wrap it). Nothing is left out quietly.

# The Debian packages of the pkg-config modules that the libraries' .pc files
# name as their own requirements.
set(VEK_PC_PACKAGES zlib=zlib1g-dev expat=libexpat1-dev openssl=libssl-dev libssl=libssl-dev
    libcrypto=libssl-dev libsystemd=libsystemd-dev)

# vek_require_library(<prefix> <pkg-config module> <Debian package>)
# A library through pkg-config, as the imported target PkgConfig::<prefix>;
# sets <prefix>_VERSION here and in the caller's scope.
function(vek_require_library prefix module package)
  find_package(PkgConfig QUIET)
  if(NOT PkgConfig_FOUND)
    message(FATAL_ERROR " pkg-config not found, which finds ${module}: install pkg-config")
  endif()
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
  if(${prefix}_FOUND)
    set(${prefix}_VERSION ${${prefix}_VERSION} PARENT_SCOPE)
    return()
  endif()
  # Present but unusable: its .pc file names a module that is missing.
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --print-errors --exists ${module} ERROR_VARIABLE why
                  OUTPUT_QUIET)
  if(why MATCHES "Package '?([^', ]+)'?, required by '[^']+', not found")
    set(missing ${CMAKE_MATCH_1})
    if(NOT missing STREQUAL module)
      set(needed "the package that holds ${missing}.pc")
      foreach(pair ${VEK_PC_PACKAGES})
        if(pair MATCHES "^${missing}=(.+)$")
          set(needed ${CMAKE_MATCH_1})
        endif()
      endforeach()
      message(FATAL_ERROR " ${module} (${package}) cannot be used: its pkg-config file needs ${missing}: install ${needed}")
    endif()
  endif()
  message(FATAL_ERROR " ${module} not found by pkg-config: install ${package}")
endfunction()

# vek_require_program(<variable> <program> <Debian package> [<why>])
# A program the build or the tests run, found in PATH (and /usr/sbin).
function(vek_require_program variable program package)
  find_program(${variable} ${program} PATHS /usr/sbin)
  if(NOT ${variable})
    set(why "")
    if(ARGC GREATER 3)
      set(why " (${ARGV3})")
    endif()
    message(FATAL_ERROR " ${program} not found${why}: install ${package}")
  endif()
endfunction()
