# Compiles one corpus program with velk_parser, runs it with the test host and
# compares the host's standard output with the program's .expected file.
# Programs under errors/ are only compiled: their .expected file holds what the
# compiler printed and a last line "[exit status N]".
# With -DREFRESH=ON the .expected file is rewritten instead.
#
# Variables: PARSER, HOST, SOURCE_DIR (the package path), PROGRAM (the .velk
# file), WORK_DIR (scratch directory). A line "/* run: N s */" in the program sets
# the simulated run time in seconds, a fraction allowed (1 by default).
foreach(var PARSER HOST SOURCE_DIR PROGRAM WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_program.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(name ${PROGRAM} NAME_WE)
get_filename_component(dir ${PROGRAM} DIRECTORY)
set(expected_file ${dir}/${name}.expected)
file(MAKE_DIRECTORY ${WORK_DIR})

file(STRINGS ${PROGRAM} run_lines REGEX "^/\\* run: [0-9]+(\\.[0-9]+)? s \\*/$")
set(seconds 1)
if(run_lines)
  list(GET run_lines 0 run_line)
  string(REGEX REPLACE "^/\\* run: ([0-9.]+) s \\*/$" "\\1" seconds "${run_line}")
endif()

# The program is named relatively to the corpus directory, as messages and
# assert reports quote the file name the compiler was given.
file(RELATIVE_PATH relative_program ${CMAKE_CURRENT_LIST_DIR} ${PROGRAM})
set(ENV{VELK_PKG_PATH} ${SOURCE_DIR})
file(REMOVE ${WORK_DIR}/${name}.ast)
execute_process(COMMAND ${PARSER} -q ${relative_program} ${WORK_DIR}/${name}.ast
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
  RESULT_VARIABLE compile_status OUTPUT_VARIABLE compile_out ERROR_VARIABLE compile_out)
# Included files are known by their absolute path (assert reports quote it):
# the corpus directory is written <corpus> so that the output is the same in
# every checkout.
get_filename_component(corpus_dir ${CMAKE_CURRENT_LIST_DIR} REALPATH)

if(relative_program MATCHES "^errors/")
  # A diagnostics program: what the compiler says and how it ends. An image
  # written after an error would be a fault of its own.
  set(actual "${compile_out}[exit status ${compile_status}]\n")
  if(NOT compile_status EQUAL 0 AND EXISTS ${WORK_DIR}/${name}.ast)
    string(APPEND actual "[image written]\n")
  endif()
  string(REPLACE "${corpus_dir}/" "<corpus>/" actual "${actual}")
else()
  if(NOT compile_status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM}: compilation failed (${compile_status}):\n${compile_out}")
  endif()

  # The image is named relatively so that the trace lines do not depend on
  # where the build tree lives.
  execute_process(COMMAND ${HOST} ${name}.ast ${seconds}
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE run_status OUTPUT_VARIABLE actual ERROR_VARIABLE run_err)
  string(REPLACE "${corpus_dir}/" "<corpus>/" actual "${actual}")
  if(NOT run_status EQUAL 0)
    string(APPEND actual "[host status ${run_status}]\n")
  endif()
  if(run_err)
    string(APPEND actual "[stderr]\n${run_err}")
  endif()
endif()

if(REFRESH)
  file(WRITE ${expected_file} "${actual}")
  return()
endif()
if(NOT EXISTS ${expected_file})
  message(FATAL_ERROR "${PROGRAM}: no ${name}.expected; output was:\n${actual}")
endif()
file(READ ${expected_file} expected)
if(NOT actual STREQUAL expected)
  file(WRITE ${WORK_DIR}/${name}.actual "${actual}")
  execute_process(COMMAND diff -u ${expected_file} ${WORK_DIR}/${name}.actual
    OUTPUT_VARIABLE difference)
  message(FATAL_ERROR "${PROGRAM}: output differs from ${name}.expected:\n${difference}")
endif()
