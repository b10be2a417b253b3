# Runs bison on GRAMMAR and fails unless it reports exactly SHIFT_REDUCE
# shift/reduce and REDUCE_REDUCE reduce/reduce conflicts; touches STAMP when
# the counts hold. Variables: BISON, GRAMMAR, SHIFT_REDUCE, REDUCE_REDUCE, STAMP.
foreach(var BISON GRAMMAR SHIFT_REDUCE REDUCE_REDUCE STAMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckGrammarConflicts.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(work ${STAMP} DIRECTORY)
execute_process(COMMAND ${BISON} -Wconflicts-sr -Wconflicts-rr -o ${work}/velk_grammar_check.cpp
                        ${GRAMMAR}
  RESULT_VARIABLE status ERROR_VARIABLE report OUTPUT_QUIET)
file(REMOVE ${work}/velk_grammar_check.cpp ${work}/velk_grammar_check.hpp)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bison failed on ${GRAMMAR}:\n${report}")
endif()

set(found_sr 0)
set(found_rr 0)
if(report MATCHES "([0-9]+) shift/reduce conflicts?")
  set(found_sr ${CMAKE_MATCH_1})
endif()
if(report MATCHES "([0-9]+) reduce/reduce conflicts?")
  set(found_rr ${CMAKE_MATCH_1})
endif()
if(NOT found_sr EQUAL SHIFT_REDUCE OR NOT found_rr EQUAL REDUCE_REDUCE)
  message(FATAL_ERROR
    "${GRAMMAR}: ${found_sr} shift/reduce and ${found_rr} reduce/reduce conflicts, "
    "${SHIFT_REDUCE} and ${REDUCE_REDUCE} expected. Resolve the new conflict, or update "
    "the counts in parserLib/CMakeLists.txt once it is understood.\n${report}")
endif()
file(TOUCH ${STAMP})
