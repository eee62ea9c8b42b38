# The Python package's tests under pytest, run by CTest: with this build's
# library, a C library that records beside Python (HELPER) and mekal-run
# (MEKAL_RUN). Skipped when PYTHON lacks pytest, unless the
# environment has MEKAL_REQUIRE_ALL=1. Everything written stays in WORK_DIR.
#
# -D inputs: PYTHON, SOURCE_DIR, WORK_DIR, LIBRARY, HELPER, MEKAL_RUN.
cmake_minimum_required(VERSION 3.25)

foreach(module pytest)
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

execute_process(COMMAND ${CMAKE_COMMAND} -E env ${environment}
  PYTHONPATH=${SOURCE_DIR}/python MEKAL_TEST_HELPER=${HELPER} MEKAL_RUN=${MEKAL_RUN}
  ${PYTHON} -m pytest -p no:cacheprovider -ra ${SOURCE_DIR}/python/tests
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pytest failed (${rc})")
endif()
