# The run records the tests hand to the commands as valid (tests/data/*/run_*.json)
# are valid against schema/run-record.schema.json, checked by
# tests/tools/record_checks.py; skipped when PYTHON cannot import jsonschema,
# unless the environment has MEKAL_REQUIRE_ALL=1 (or MEKAL_REQUIRE_SCHEMA=1).
#
# -D inputs: SOURCE_DIR, PYTHON.
cmake_minimum_required(VERSION 3.25)

if(NOT PYTHON)
  if("$ENV{MEKAL_REQUIRE_ALL}" STREQUAL "1" OR "$ENV{MEKAL_REQUIRE_SCHEMA}" STREQUAL "1")
    message(FATAL_ERROR "no python3 to check the run records with")
  endif()
  message(STATUS "skipped: no python3")
  return()
endif()
file(GLOB records ${SOURCE_DIR}/tests/data/*/run_*.json)
if(NOT records)
  message(FATAL_ERROR "no run records under ${SOURCE_DIR}/tests/data")
endif()
execute_process(COMMAND ${PYTHON} ${SOURCE_DIR}/tests/tools/record_checks.py
  ${SOURCE_DIR}/schema/run-record.schema.json ${records}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 77)
  string(STRIP "${out}" out)
  message(STATUS "${out}")
  return()
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "record_checks.py failed (${PYTHON}, status ${rc}):\n${out}${err}")
endif()
list(LENGTH records count)
message(STATUS "${count} run records valid against the schema (${PYTHON})")
