# Read by cpack before the Debian package (from cmake/cpack-project.cmake).
# The package joins both build trees under /usr; the archives keep what
# CPackConfig.cmake says.
if(NOT EXISTS "${CPACK_VEK_WINDOWS_BUILD_DIR}/cmake_install.cmake")
  message(FATAL_ERROR "The Debian package takes the Windows files from ${CPACK_VEK_WINDOWS_BUILD_DIR}, "
                      "which is not a build tree: build the win32-release preset first "
                      "(or configure with -DVEK_WINDOWS_BUILD_DIR=...)")
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CPACK_VEK_LINUX_BUILD_DIR};vek_ipc;linux;/"
    "${CPACK_VEK_LINUX_BUILD_DIR};vek_ipc;service;/"
    "${CPACK_VEK_LINUX_BUILD_DIR};vek_ipc;deb;/"
    "${CPACK_VEK_WINDOWS_BUILD_DIR};vek_ipc;windows;/"
    "${CPACK_VEK_WINDOWS_BUILD_DIR};vek_ipc;playlist_player;/")
# Installed as for /usr, so that the units name the service programs there.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
