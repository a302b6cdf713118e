# The Linux release build (what install.sh and the Debian package ship) takes
# the hardening flags of the Debian release it is built on, as Debian's own
# packages do: dpkg-buildflags (dpkg-dev) names them. Its -O and -g are left
# out: the build type chooses those.
if(VEK_WINDOWS OR VEK_SANITIZE OR VEK_FUZZ OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  return()
endif()
find_program(VEK_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT VEK_DPKG_BUILDFLAGS)
  message(STATUS "dpkg-buildflags not found (install dpkg-dev): built without Debian's hardening flags")
  return()
endif()
set(vek_hardening_flags)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          ${VEK_DPKG_BUILDFLAGS} --get ${kind}
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE flags
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
  if(kind STREQUAL "LDFLAGS")
    add_link_options(${flags})
  else()
    add_compile_options(${flags})
  endif()
  list(APPEND vek_hardening_flags ${flags})
endforeach()
list(JOIN vek_hardening_flags " " vek_hardening_flags)
message(STATUS "Debian's hardening flags: ${vek_hardening_flags}")
