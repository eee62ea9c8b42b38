# mekal-report run as a user runs it, without a browser: its exit status and
# messages, which inputs it skips, and what the page it writes holds.
#
# -D inputs: TOOL (the program), DB_TOOL (mekal-db), DATA (tests/data),
# WORK_DIR (scratch), VERSION (the project's), LAUNCHER (the test launcher with "|" between its
# words, may be empty).
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" launcher "${LAUNCHER}")
# Exit status 1 means "inputs were skipped": memcheck's errors need another.
string(REPLACE "--error-exitcode=1" "--error-exitcode=99" launcher "${launcher}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/records/nested)
file(COPY ${DATA}/diff/run_a.json ${DATA}/diff/run_b.json ${DATA}/diff/bad_not_json.json
  DESTINATION ${WORK_DIR}/records)
file(COPY ${DATA}/diff/run_mpi_a.json ${DATA}/diff/bad_no_schema.json DESTINATION ${WORK_DIR}/records/nested)
file(WRITE ${WORK_DIR}/records/nested/notes.txt "not a record, and not *.json")

# Runs the tool in WORK_DIR; checks its exit status, that stderr matches ERR
# and stdout OUT (regular expressions) and, with PAGE, that the page written holds each
# of HAS and none of LACKS.
function(check name)
  cmake_parse_arguments(PARSE_ARGV 1 case "" "EXIT;ERR;OUT;PAGE" "ARGS;HAS;LACKS")
  file(REMOVE ${WORK_DIR}/${case_PAGE})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${launcher} ${TOOL} ${case_ARGS}
    WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT "${rc}" STREQUAL "${case_EXIT}" OR NOT "${err}" MATCHES "${case_ERR}"
     OR NOT "${out}" MATCHES "${case_OUT}")
    message(SEND_ERROR "${name}: exit ${rc}, expected ${case_EXIT}\n--- stderr:\n${err}--- expected:\n${case_ERR}")
  endif()
  if(NOT case_PAGE)
    return()
  elseif(NOT EXISTS ${WORK_DIR}/${case_PAGE})
    message(SEND_ERROR "${name}: no page ${case_PAGE} written")
    return()
  endif()
  file(READ ${WORK_DIR}/${case_PAGE} page)
  foreach(text ${case_HAS})
    string(FIND "${page}" "${text}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${name}: the page lacks ${text}")
    endif()
  endforeach()
  foreach(text ${case_LACKS})
    string(FIND "${page}" "${text}" at)
    if(NOT at EQUAL -1)
      message(SEND_ERROR "${name}: the page holds ${text}")
    endif()
  endforeach()
endfunction()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE usage RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT usage MATCHES "^Usage: mekal-report \\[OPTIONS\\] ")
  message(SEND_ERROR "--help: exit ${rc}, no usage:\n${usage}")
endif()
execute_process(COMMAND ${TOOL} --version OUTPUT_VARIABLE version)
if(NOT version STREQUAL "mekal-report (mekal) ${VERSION}\n")
  message(SEND_ERROR "--version prints ${version}")
endif()

check("no operands" EXIT 2 ERR "^mekal-report: no run records named\nUsage: ")
check("unknown option" ARGS --bogus records EXIT 2 ERR "unrecognized option.*\nUsage: ")
check("bad condition" ARGS --where "walltime 3" records EXIT 2 ERR "^mekal-report: bad condition.*\nUsage: ")
check("catalog and records" ARGS --db x.db records EXIT 2 ERR "exclude each other\nUsage: ")
check("nothing valid" ARGS -o none.html records/bad_not_json.json missing.json EXIT 2 PAGE ""
  ERR "bad_not_json.json: not JSON .*missing.json: .*no run records to report\n$")
if(EXISTS ${WORK_DIR}/none.html)
  message(SEND_ERROR "nothing valid: a page was written")
endif()
# The bad records are named and skipped, the directory searched to its depth,
# and the page of the runs left carries the charts and the groups compared.
set(run_a "\"node1\",1.25,0,1.25,\"${WORK_DIR}/records/run_a.json\"")
check("bad records skipped" ARGS -o runs.html --metric walltime records EXIT 1 PAGE runs.html
  ERR "^mekal-report: records/bad_not_json.json: not JSON \\(line 3, column 1\\) \\(skipped\\)\nmekal-report: records/nested/bad_no_schema.json: not a run record \\(no \"schema\"\\) \\(skipped\\)\n$"
  HAS "\"view\":\"runs\"" "${run_a}" "\"2026-01-05T10:00:00.000000100Z\",\"node1\",null,0,null,\"${WORK_DIR}/records/nested/run_mpi_a.json\""
      "records/nested/bad_no_schema.json" "Licensed to the Apache Software Foundation" LACKS "notes.txt" "\"compare\":{")
check("groups compared" ARGS -o compared.html --by .exit_status --metric walltime records/run_a.json
  records/run_b.json EXIT 0 ERR "^$" PAGE compared.html
  HAS "\"compare\":{\"baseline\":\"0\",\"by\":\".exit_status\""
      "\"group\":\"3\",\"max\":2.0,\"mean\":2.0,\"median\":2.0,\"metric\":\"walltime\",\"min\":2.0,\"n\":1,\"p\":1.0,\"ratio\":1.6,\"stddev\":0.0,\"verdict\":\"no significant change\"")
check("one run, to standard output" ARGS -o - records/run_a.json EXIT 0 ERR "^$"
  OUT "^<!DOCTYPE html>\n.*\"view\":\"run\".*</html>\n$")
check("one run of many where a condition holds" ARGS -o one.html --where ".exit_status = 3" records/run_a.json records/run_b.json
  EXIT 0 ERR "^$" PAGE one.html
  HAS "<!DOCTYPE html>" "\"view\":\"run\"" "\"duration\":2.0" "\"argv\":[\"./app\",\"-n\",\"2\"]" LACKS "Apache Software Foundation")
check("none where a condition holds" ARGS --where ".exit_status = 9" records/run_a.json EXIT 2
  ERR "no run records to report where the conditions hold\n$")
# The same from a catalog of mekal-db.
execute_process(COMMAND ${DB_TOOL} --db ${WORK_DIR}/runs.db add records/run_a.json records/run_b.json
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(SEND_ERROR "mekal-db add: exit ${rc}")
endif()
check("catalog" ARGS --db runs.db -o db.html --metric walltime EXIT 0 ERR "^$" PAGE db.html
  HAS "${run_a}" "\"node1\",2.0,3,2.0,\"${WORK_DIR}/records/run_b.json\"")
check("no catalog" ARGS --db missing.db EXIT 2 ERR "^mekal-report: missing.db: ")
# Recorded text never ends the data element or opens a comment in it.
check("script in values" ARGS -o script.html ${DATA}/report/run_script.json EXIT 0 ERR "^$"
  PAGE script.html HAS "\\u003c/script>\\u003cscript>window.mekalInjected=5" "\\u003c!--"
  LACKS "<script>window" "</SCRIPT " "<!--" "<b>")
