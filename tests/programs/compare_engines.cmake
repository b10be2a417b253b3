# Compiles one corpus program and runs it with the test host on both
# evaluation engines, the prepared one and the tree walker (VELK_ENGINE=tree):
# what they print and their exit statuses must be the same byte for byte.
#
# Variables: PARSER, HOST, SOURCE_DIR, PROGRAM, WORK_DIR (as run_program.cmake).
foreach(var PARSER HOST SOURCE_DIR PROGRAM WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "compare_engines.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(name ${PROGRAM} NAME_WE)
file(MAKE_DIRECTORY ${WORK_DIR})
file(STRINGS ${PROGRAM} run_lines REGEX "^/\\* run: [0-9]+(\\.[0-9]+)? s \\*/$")
set(seconds 1)
if(run_lines)
  list(GET run_lines 0 run_line)
  string(REGEX REPLACE "^/\\* run: ([0-9.]+) s \\*/$" "\\1" seconds "${run_line}")
endif()

file(RELATIVE_PATH relative_program ${CMAKE_CURRENT_LIST_DIR} ${PROGRAM})
set(ENV{VELK_PKG_PATH} ${SOURCE_DIR})
execute_process(COMMAND ${PARSER} -q ${relative_program} ${WORK_DIR}/${name}.ast
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
  RESULT_VARIABLE compile_status OUTPUT_VARIABLE compile_out ERROR_VARIABLE compile_out)
if(NOT compile_status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM}: compilation failed (${compile_status}):\n${compile_out}")
endif()

foreach(engine tree prepared)
  if(engine STREQUAL "tree")
    set(ENV{VELK_ENGINE} tree)
  else()
    unset(ENV{VELK_ENGINE})
  endif()
  execute_process(COMMAND ${HOST} ${name}.ast ${seconds}
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(output_${engine} "${out}[status ${status}]\n[stderr]\n${err}")
endforeach()

if(NOT output_tree STREQUAL output_prepared)
  file(WRITE ${WORK_DIR}/${name}.tree.out "${output_tree}")
  file(WRITE ${WORK_DIR}/${name}.prepared.out "${output_prepared}")
  message(FATAL_ERROR "${PROGRAM}: the engines disagree; compare ${WORK_DIR}/${name}.tree.out "
    "with ${WORK_DIR}/${name}.prepared.out")
endif()
