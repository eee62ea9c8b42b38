# The run records the tests hand to the commands as valid (tests/data/*/run_*.json)
# are valid against schema/run-record.schema.json. Needs a python with the
# jsonschema module; skipped when there is none.
#
# -D inputs: SOURCE_DIR.
cmake_minimum_required(VERSION 3.25)

# Debian's python3-jsonschema belongs to /usr/bin/python3, which need not be
# the python3 found first on PATH.
find_program(PATH_PYTHON NAMES python3 python)
set(python)
foreach(candidate /usr/bin/python3 ${PATH_PYTHON})
  execute_process(COMMAND ${candidate} -c "import jsonschema" RESULT_VARIABLE rc
    OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    set(python ${candidate})
    break()
  endif()
endforeach()
if(NOT python)
  message(STATUS "skipped: no python with the jsonschema module (Debian: python3-jsonschema)")
  return()
endif()

file(GLOB records ${SOURCE_DIR}/tests/data/*/run_*.json)
if(NOT records)
  message(FATAL_ERROR "no run records under ${SOURCE_DIR}/tests/data")
endif()
set(validate [=[
import json, sys, jsonschema
with open(sys.argv[1]) as f:
    schema = json.load(f)
validator = jsonschema.validators.validator_for(schema)
validator.check_schema(schema)
failed = False
for path in sys.argv[2:]:
    with open(path) as f:
        for error in validator(schema).iter_errors(json.load(f)):
            failed = True
            print(f"{path}: {'/'.join(map(str, error.absolute_path))}: {error.message}")
sys.exit(1 if failed else 0)
]=])
execute_process(COMMAND ${python} -c "${validate}" ${SOURCE_DIR}/schema/run-record.schema.json
  ${records} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
list(LENGTH records count)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "run records invalid against the schema (${python}):\n${out}${err}")
endif()
message(STATUS "${count} run records valid against the schema (${python})")
