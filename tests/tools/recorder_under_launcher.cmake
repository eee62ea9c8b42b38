cmake_minimum_required(VERSION 3.25)
# The recorder's own code under the suite's memory checker: the example
# program runs with the recorder preloaded, under the launcher (valgrind,
# following the program that env executes), and must leave a complete record.
# valgrind follows an exec by starting itself again, so the recorder is told
# to follow: the record of that start (same pid, same file) is replaced by
# the example's.
# Inputs: LAUNCHER ("|" between words), RECORDER, EXAMPLE, WORK_DIR.
string(REPLACE "|" ";" launcher "${LAUNCHER}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(record ${WORK_DIR}/example.json)
execute_process(COMMAND ${launcher} --trace-children=yes env LD_PRELOAD=${RECORDER}
    MEKAL_RECORD_OUTPUT=${record} MEKAL_RECORD_FOLLOW=1 ${EXAMPLE}
  RESULT_VARIABLE rc OUTPUT_FILE ${WORK_DIR}/example.out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the example under the recorder failed (${rc}):\n${err}")
endif()
file(READ ${record} text)
if(NOT text MATCHES "\"complete\": true" OR NOT text MATCHES "\"name\":\"ranks_per_node\"")
  message(FATAL_ERROR "no complete record with the example's values:\n${text}")
endif()
message(STATUS "complete record, memory checker clean")
