# Release archives, named from project(VERSION), each made in its build folder:
#   cmake --build --preset linux-release --target package   -> vek-ipc-<version>-linux-x86_64.tar.gz
#   cmake --build --preset win32-release --target package   -> vek-ipc-<version>-win32.zip
# The Linux archive holds the programs and the user service under usr/local/,
# written for that place: unpack it at / (tar xzf ... -C /). The Windows one
# holds the component package, the module and the reader in one folder.
set(CPACK_PACKAGE_NAME vek-ipc)
set(CPACK_PACKAGE_VENDOR vek-ipc)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Publishes what the player plays, for other programs and over XMPP")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
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
endif()
include(CPack)
