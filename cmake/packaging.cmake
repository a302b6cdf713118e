# Release archives, named from project(VERSION), each made in its build folder:
#   cmake --build --preset linux-release --target package   -> vek-ipc-<version>-linux-x86_64.tar.gz
#   cmake --build --preset win32-release --target package   -> vek-ipc-<version>-win32.zip
# The Linux archive holds the programs and the user service under usr/local/,
# written for that place: unpack it at / (tar xzf ... -C /). The Windows one
# holds the component package, the module and the reader in one folder.
#
# The Debian package, for the Debian release it is built on, holds both under
# /usr: the Linux programs, the services and the Windows files. Build both
# release presets, then make it from the Linux one's configuration:
#   cmake --preset linux-release && cmake --build --preset linux-release
#   cmake --preset win32-release && cmake --build --preset win32-release
#   cpack -G DEB --config build/linux-release/CPackConfig.cmake
#     -> build/linux-release/vek-ipc_<version>_<architecture>.deb
# The Windows files come from the win32-release tree beside the Linux one
# (VEK_WINDOWS_BUILD_DIR names another). cmake/deb/cpack-generator.cmake
# gives the package its contents and /usr; dpkg-shlibdeps (dpkg-dev) and
# file find the libraries it depends on.
set(CPACK_PACKAGE_NAME vek-ipc)
set(CPACK_PACKAGE_VENDOR vek-ipc)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Publishes what the player plays, for other programs and over XMPP")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_VEK_SOURCE_DATE_EPOCH ${VEK_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)
# cpack run from elsewhere (the Debian package) writes here too.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
if(VEK_WINDOWS)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win32)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};windows_archive;/")
else()
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} system)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${system})
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};linux;/"
                                   "${CMAKE_BINARY_DIR};${PROJECT_NAME};service;/")
  # Installed as for /usr/local, so that the unit names the program where it
  # will be once unpacked.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr/local)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

  # The Debian package.
  set(VEK_WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/../win32-release CACHE PATH
      "The win32-release build tree whose files the Debian package holds")
  cmake_path(ABSOLUTE_PATH VEK_WINDOWS_BUILD_DIR NORMALIZE OUTPUT_VARIABLE CPACK_VEK_WINDOWS_BUILD_DIR)
  set(CPACK_VEK_LINUX_BUILD_DIR ${CMAKE_BINARY_DIR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The project has no public address yet; example.org is reserved and reaches nobody.
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vek-ipc developers <vek-ipc@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # One paragraph, its lines as written (Debian's tools show them unwrapped).
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
foo_vek_ipc.dll is a component for a media player on 32-bit Windows, run here
under Wine. It writes what is playing into the title of a hidden window, which
vek-ipc-read.exe reads. Two relays carry what the reader sees to Linux, each
as a systemd user service: vek-tune-publish publishes it as the XMPP User Tune
(XEP-0118) of your account, and vek-mpris shows the player to the desktop as
an MPRIS media player. vek-ipc-decode decodes window titles on standard input.")
  # The libraries from the binaries; Wine and its 32-bit loader for the reader,
  # a 32-bit Windows program that the services run.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "wine, wine32:i386")

  # Debian's documents for the package: the copyright, and a changelog naming
  # this version, dated with the build's time (gzip -n: no other time in it).
  set(VEK_DEB_MAINTAINER ${CPACK_DEBIAN_PACKAGE_MAINTAINER})
  string(TIMESTAMP VEK_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
  execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/deb/changelog
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/deb/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vek-ipc COMPONENT deb EXCLUDE_FROM_ALL)
  # Manual pages of the programs in /usr/bin, from their --help.
  set(vek_summary_vek-ipc-decode "decode the player's window titles into JSON lines, tunes or text")
  set(vek_summary_vek-tune-publish "publish what the player plays as your XMPP User Tune")
  set(vek_summary_vek-mpris "show what the player plays to the desktop as an MPRIS media player")
  set(pages)
  foreach(program vek-ipc-decode vek-tune-publish vek-mpris)
    set(page ${CMAKE_BINARY_DIR}/deb/${program}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> "-DSUMMARY=${vek_summary_${program}}"
              -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page} -P ${CMAKE_CURRENT_LIST_DIR}/deb/manpage.cmake
      DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/deb/manpage.cmake
      COMMENT "Writing the manual page of ${program}"
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(deb_manual_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT deb EXCLUDE_FROM_ALL)
endif()
include(CPack)
