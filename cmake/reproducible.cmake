# One time for every date the build writes: the Windows files' PE time stamps,
# the entries of the component package and the release archives, and the Debian
# changelog. Two builds of one commit then give the same bytes, whenever and
# wherever they run. It is SOURCE_DATE_EPOCH when set (the convention Debian's
# builders follow), else the time of the commit checked out, else, outside a
# git checkout, a fixed time.
#
# VEK_SOURCE_DATE_EPOCH holds it, in seconds since 1970 (UTC); it is also put in
# this configuration's environment, where string(TIMESTAMP) reads it.

# 1980-01-01 00:00:00 UTC: the earliest time a zip entry can hold.
set(vek_fixed_date_epoch 315532800)

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(VEK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT VEK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR " SOURCE_DATE_EPOCH is '${VEK_SOURCE_DATE_EPOCH}': it must be a whole number of seconds "
                        "since 1970-01-01 00:00:00 UTC, or unset")
  endif()
  set(vek_date_origin "from SOURCE_DATE_EPOCH")
else()
  set(VEK_SOURCE_DATE_EPOCH "")
  set(vek_fixed_date_why "Not a git checkout and SOURCE_DATE_EPOCH unset")
  find_program(VEK_GIT git)
  if(EXISTS ${PROJECT_SOURCE_DIR}/.git AND NOT VEK_GIT)
    set(vek_fixed_date_why "git not found (install git) to read the last commit's time")
  elseif(EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${VEK_GIT} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE VEK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_VARIABLE git_error ERROR_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE git_status)
    if(git_status EQUAL 0 AND VEK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
      set(vek_date_origin "the last commit's time")
      # A new commit checked out is a new time: git appends to HEAD's log
      # whenever HEAD moves, so the configuration is redone then.
      execute_process(COMMAND ${VEK_GIT} -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute
                              --git-path logs/HEAD
                      OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(head_log AND EXISTS "${head_log}")
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
      endif()
    else()
      # For one, git refuses a checkout another user owns ("dubious ownership").
      set(VEK_SOURCE_DATE_EPOCH "")
      string(REGEX REPLACE "\n.*" "" git_error "${git_error}")
      set(vek_fixed_date_why "git could not read the last commit's time (${git_error})")
    endif()
  endif()
  if(VEK_SOURCE_DATE_EPOCH STREQUAL "")
    set(VEK_SOURCE_DATE_EPOCH ${vek_fixed_date_epoch})
    set(vek_date_origin "a fixed time: ${vek_fixed_date_why}")
  endif()
endif()
set(ENV{SOURCE_DATE_EPOCH} ${VEK_SOURCE_DATE_EPOCH})
string(TIMESTAMP vek_date "%Y-%m-%d %H:%M:%S UTC" UTC)
message(STATUS "Every date this build writes: ${vek_date}, ${vek_date_origin}")
