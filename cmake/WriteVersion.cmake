# Writes OUTPUT with the function velk_versionString(). Run as a script at build
# time. Without git (a source tarball) the version is a fixed placeholder of the
# same shape.
set(version "${RELEASE}-0-g0000000.1970-01-01-00-00")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --long --match "v[0-9]*"
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described
                  RESULT_VARIABLE describe_rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(TIMESTAMP stamp "%Y-%m-%d-%H-%M")
  if(describe_rc EQUAL 0 AND described MATCHES "^v(.+)-([0-9]+)-g([0-9a-f]+)$")
    set(version "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-g${CMAKE_MATCH_3}.${stamp}")
  else()
    # No release tag yet: count every commit since the start of the history.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE count
                    RESULT_VARIABLE count_rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE hash
                    RESULT_VARIABLE hash_rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(count_rc EQUAL 0 AND hash_rc EQUAL 0)
      set(version "${RELEASE}-${count}-g${hash}.${stamp}")
    endif()
  endif()
endif()
set(content "// Generated at build time; do not edit.\nconst char* velk_versionString() { return \"${version}\"; }\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
