# Installs the toolchain away from the source and build trees, then compiles
# and runs an example with it under an empty environment (env -i): the
# installed compiler must find its own system library.
#
# In install mode a small host program is also built against the installed
# headers and libraries alone (CXX: the compiler, CXX_FLAGS: flags the
# libraries need at link time, such as the sanitizers').
#
# Variables: BUILD_DIR, SOURCE_DIR, WORK_DIR (scratch, recreated), MODE:
#   install  `cmake --install BUILD_DIR --prefix WORK_DIR/prefix`
#   deb      `cpack -G DEB` in BUILD_DIR's configuration, then the package is
#            unpacked with dpkg-deb into WORK_DIR/root (its prefix is /usr).
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR MODE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "installed_toolchain.cmake: ${var} is not set")
  endif()
endforeach()

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

if(MODE STREQUAL "install")
  set(prefix ${WORK_DIR}/prefix)
  run_checked(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
elseif(MODE STREQUAL "deb")
  find_program(DPKG_DEB dpkg-deb)
  if(NOT DPKG_DEB)
    message("SKIPPED: dpkg-deb is not installed")
    return()
  endif()
  get_filename_component(cmake_bin_dir ${CMAKE_COMMAND} DIRECTORY)
  find_program(CPACK cpack HINTS ${cmake_bin_dir} REQUIRED)
  run_checked(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package)
  file(GLOB packages ${WORK_DIR}/package/*.deb)
  list(LENGTH packages count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one .deb in ${WORK_DIR}/package, found: ${packages}")
  endif()
  run_checked(${DPKG_DEB} --info ${packages})
  run_checked(${DPKG_DEB} -x ${packages} ${WORK_DIR}/root)
  set(prefix ${WORK_DIR}/root/usr)
else()
  message(FATAL_ERROR "unknown MODE ${MODE}")
endif()

# What a user of the toolchain relies on, in its usual place.
foreach(file bin/velk_parser bin/velk_sim share/velk/annotations/system/system.velk
             share/man/man1/velk_parser.1 share/man/man1/velk_sim.1)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} is not installed under ${prefix}")
  endif()
endforeach()
foreach(pattern "include/velk/interp_api.h" "lib*/libinterpreterLib.a" "lib*/velk/*velk_interpreter*"
                "lib*/velk/*velk_parameters*" "share/doc/velk/language.md")
  file(GLOB_RECURSE found ${prefix}/${pattern})
  if(NOT found)
    message(FATAL_ERROR "nothing matches ${pattern} under ${prefix}")
  endif()
endforeach()

# Compile and run the tutorial's first step with nothing from the environment,
# from a directory outside both trees.
set(run_dir ${WORK_DIR}/run)
file(MAKE_DIRECTORY ${run_dir})
file(COPY ${prefix}/share/velk/examples/blink/blink.velk DESTINATION ${run_dir})
execute_process(COMMAND env -i ${prefix}/bin/velk_parser blink.velk blink.ast
  WORKING_DIRECTORY ${run_dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "Parse success !\nAST generated in file \"blink.ast\"\n")
  message(FATAL_ERROR "installed velk_parser failed (${status}):\n${out}")
endif()
execute_process(COMMAND env -i ${prefix}/bin/velk_sim -q -t 1 -i enable_in=1 blink.ast
  WORKING_DIRECTORY ${run_dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "Assign led_out new value: true")
  message(FATAL_ERROR "installed velk_sim failed (${status}):\n${out}")
endif()
message("installed toolchain under ${prefix} compiles and runs blink.velk")

if(NOT MODE STREQUAL "install")
  return()
endif()
file(GLOB libraries ${prefix}/lib*/libinterpreterLib.a)
get_filename_component(libdir ${libraries} DIRECTORY)
separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS}")
run_checked(${CXX} -std=c++20 ${flags} -I${prefix}/include/velk
  ${SOURCE_DIR}/tests/docs/installed/host.cpp -o ${run_dir}/installed_host
  ${libdir}/libinterpreterLib.a ${libdir}/libASTLib.a -lm)
file(COPY ${prefix}/share/velk/examples/tutorial/step1_periodic.velk DESTINATION ${run_dir})
run_checked(env -i ${prefix}/bin/velk_parser -q step1_periodic.velk step1.ast
  WORKING_DIRECTORY ${run_dir})
execute_process(COMMAND env -i ${run_dir}/installed_host step1.ast
  WORKING_DIRECTORY ${run_dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "^engine speed 850 rpm at 0\nengine speed 900 rpm at 10ms\n")
  message(FATAL_ERROR "a host built on the installed libraries failed (${status}):\n${out}")
endif()
message("a host built on the installed headers and libraries runs step1_periodic.velk")
