# The Linux release build (what install.sh and the Debian package ship) takes
# the hardening flags of the Debian release it is built on, as Debian's own
# packages do: dpkg-buildflags (dpkg-dev) names them. Its -O and -g are left
# out: the build type chooses those. scripts/test-deb.sh checks the packaged
# programs.
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
# Two more that dpkg-buildflags of Debian 13 gives and Debian 12's does not:
# probes that keep a large stack frame from stepping over the guard page, and
# on x86 end-branch markers at the targets of indirect jumps and calls (and
# the shadow-stack property, which the linked program keeps only when every
# object linked into it has it). Added once, where the compiler takes them.
include(CheckCXXCompilerFlag)
set(vek_extra_hardening_flags -fstack-clash-protection)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
  list(APPEND vek_extra_hardening_flags -fcf-protection)
endif()
foreach(flag ${vek_extra_hardening_flags})
  if(flag IN_LIST vek_hardening_flags)
    continue()
  endif()
  string(MAKE_C_IDENTIFIER "VEK_CXX_ACCEPTS${flag}" accepted)
  check_cxx_compiler_flag(${flag} ${accepted})
  if(${accepted})
    add_compile_options(${flag})
    list(APPEND vek_hardening_flags ${flag})
  endif()
endforeach()
list(JOIN vek_hardening_flags " " vek_hardening_flags)
message(STATUS "Hardening flags: ${vek_hardening_flags}")
