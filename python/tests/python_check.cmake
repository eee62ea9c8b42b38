# The Python package's checks, run by CTest.
#   MODE=pytest: python/tests under pytest, with this build's library, a C
#     library that records beside Python (HELPER) and mekal-run (MEKAL_RUN).
#   MODE=pip: pip install --no-build-isolation of a copy of python/ into a
#     scratch target, then the installed package records and reads back.
# Skipped when PYTHON lacks pytest (or pip and setuptools), unless the
# environment has MEKAL_REQUIRE_ALL=1. Everything written stays in WORK_DIR.
#
# -D inputs: MODE, PYTHON, SOURCE_DIR, WORK_DIR, LIBRARY, HELPER, MEKAL_RUN.
cmake_minimum_required(VERSION 3.25)

set(modules pytest)
if(MODE STREQUAL "pip")
  set(modules pip setuptools)
endif()
foreach(module ${modules})
  execute_process(COMMAND ${PYTHON} -c "import ${module}" RESULT_VARIABLE rc
    OUTPUT_QUIET ERROR_QUIET)
  if(NOT PYTHON OR NOT rc EQUAL 0)
    if("$ENV{MEKAL_REQUIRE_ALL}" STREQUAL "1")
      message(FATAL_ERROR "${PYTHON} cannot import ${module} (install python3-${module})")
    endif()
    message(STATUS "skipped: ${PYTHON} cannot import ${module}")
    return()
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
# No bytecode or pytest cache lands in the source tree.
set(environment PYTHONPYCACHEPREFIX=${WORK_DIR}/pycache MEKAL_LIBRARY=${LIBRARY})

if(MODE STREQUAL "pytest")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment}
    PYTHONPATH=${SOURCE_DIR}/python MEKAL_TEST_HELPER=${HELPER} MEKAL_RUN=${MEKAL_RUN}
    ${PYTHON} -m pytest -p no:cacheprovider -ra ${SOURCE_DIR}/python/tests
    WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pytest failed (${rc})")
  endif()
  return()
endif()

# pip builds in the source directory it is given: hand it a copy.
file(COPY ${SOURCE_DIR}/python/ DESTINATION ${WORK_DIR}/source PATTERN tests EXCLUDE
  PATTERN __pycache__ EXCLUDE)
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment} ${PYTHON} -m pip install
  --no-build-isolation --no-deps --no-index --disable-pip-version-check
  --target ${WORK_DIR}/target ${WORK_DIR}/source
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pip install failed (${rc}):\n${out}${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment} PYTHONPATH=${WORK_DIR}/target
  ${PYTHON} -c "import mekal, os; mekal.record('x', [1.5]); assert mekal.get('x') == [1.5]; \
assert os.path.samefile(mekal.library_path, os.environ['MEKAL_LIBRARY']); print(mekal.__file__)"
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^${WORK_DIR}/target/mekal/")
  message(FATAL_ERROR "the package installed by pip does not work (${rc}):\n${out}${err}")
endif()
message(STATUS "installed by pip and working: ${out}")
