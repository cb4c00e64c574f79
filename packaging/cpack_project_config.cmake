# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE).
#
# Two builds of one commit give byte-identical packages. CPack's DEB and ZIP
# generators stamp every file, and the .deb's own members, with the time in
# the environment variable SOURCE_DATE_EPOCH when it is set, and with the
# current time when it is not. Unless the caller has set it, it is set here
# to the time of the last commit, read when the package is made (so that a
# build tree brought to another commit without configuring again still
# follows it), or, in a tree that is no git checkout of its own, to a fixed
# time.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(_epoch 315532800)  # 1980-01-01 00:00:00 UTC, the earliest time a zip holds
  if(CPACK_GEN_TARSILP6_GIT AND EXISTS "${CPACK_GEN_TARSILP6_SOURCE_DIR}/.git")
    execute_process(
      COMMAND "${CPACK_GEN_TARSILP6_GIT}" -C "${CPACK_GEN_TARSILP6_SOURCE_DIR}" log -1 --format=%ct
      OUTPUT_VARIABLE _commit_time ERROR_VARIABLE _git_error RESULT_VARIABLE _git_status
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
    if(_git_status EQUAL 0 AND _commit_time MATCHES "^[0-9]+$")
      set(_epoch ${_commit_time})
    else()
      message(WARNING "git cannot tell the last commit's time (${_git_error}); "
                      "the package takes the fixed time ${_epoch} instead")
    endif()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${_epoch})
endif()

# A zip holds its files' times as local time: taken in UTC, they do not
# depend on the time zone of the machine that packs.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(ENV{TZ} UTC0)
endif()
