# Read by cpack before each generator (CPACK_PROJECT_CONFIG_FILE).
# Every entry of every archive carries the build's one time
# (cmake/reproducible.cmake): cpack's archiver writes SOURCE_DATE_EPOCH as
# each entry's times, and a zip entry's time is local time, so it is UTC here.
# The entries' owner is the files' owner: scripts/build-release.sh runs cpack
# as root, or under fakeroot, so that it is root's whoever builds.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_VEK_SOURCE_DATE_EPOCH}")
set(ENV{TZ} UTC)
if(CPACK_GENERATOR STREQUAL "DEB")
  include(${CMAKE_CURRENT_LIST_DIR}/deb/cpack-generator.cmake)
endif()
