# mekal-diff run as a user runs it, on the run records in tests/data/diff:
# the exit status, standard output and standard error of each case, exactly.
# Numbers are printed as the records spell them.
#
# -D inputs: TOOL (the program), DATA (the records), WORK_DIR (scratch),
# VERSION (the project's), LAUNCHER (the test launcher with "|" between its
# words, may be empty).
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" launcher "${LAUNCHER}")
# Exit status 1 means "the records differ": memcheck's errors need another.
string(REPLACE "--error-exitcode=1" "--error-exitcode=99" launcher "${launcher}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Runs the tool in DATA with ARGS (and INPUT as standard input); "@USAGE@"
# in ERR stands for the output of --help.
function(check name)
  cmake_parse_arguments(PARSE_ARGV 1 case "" "EXIT;OUT;ERR;INPUT" "ARGS")
  set(input)
  if(case_INPUT)
    set(input INPUT_FILE ${case_INPUT})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${launcher} ${TOOL} ${case_ARGS}
    WORKING_DIRECTORY ${DATA} ${input} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE "@USAGE@" "${usage}" case_ERR "${case_ERR}")
  if(NOT "${rc}" STREQUAL "${case_EXIT}" OR NOT "${out}" STREQUAL "${case_OUT}"
     OR NOT "${err}" STREQUAL "${case_ERR}")
    message(SEND_ERROR "${name}: exit ${rc}, expected ${case_EXIT}\n"
      "--- stdout:\n${out}--- expected:\n${case_OUT}--- stderr:\n${err}--- expected:\n${case_ERR}")
  endif()
endfunction()

execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE usage)
if(NOT usage MATCHES "^Usage: mekal-diff \\[OPTIONS\\] A\\.json B\\.json\n")
  message(FATAL_ERROR "--help prints no usage:\n${usage}")
endif()
string(REPEAT "[" 2000 deep)

check("help" ARGS --help EXIT 0 OUT "${usage}" ERR "")
check("version" ARGS --version EXIT 0 OUT "mekal-diff (mekal) ${VERSION}\n" ERR "")
check("equal but for what differs in every run" ARGS run_a.json run_noise.json EXIT 0 OUT "" ERR "")
check("standard input" ARGS - run_a.json INPUT ${DATA}/run_noise.json EXIT 0 OUT "" ERR "")
check("--all shows what differs in every run" ARGS -a run_a.json run_noise.json EXIT 1 ERR "" OUT [=[
~ .program.pid: 41235 -> 41299
~ launchdate: "2026-01-05T10:00:00Z" -> "2026-01-06T09:00:00Z"
~ loadavg: [0.52,0.4,0.31] -> [1.02,0.9,0.71]
~ log: "/tmp/app.41235.log" -> "/tmp/app.41299.log"
- scratch.41235: 7
+ scratch.41299: 7
~ walltime: 1.25 -> 1.5; recorded: "2026-01-05T10:00:01.250000000Z" -> "2026-01-06T09:00:01.500000000Z"
]=])
check("added, removed and changed values and header" ARGS run_a.json run_b.json EXIT 1 ERR ""
  OUT [=[
~ .exit_status: 0 -> 3
~ .program.argv: ["./app","-n","1"] -> ["./app","-n","2"]
~ big: 9007199254740993 -> 9007199254740992.0
~ cmdline: ["./app","-n","1"] -> ["./app","-n","2"]
+ extra: 3
- gone: "x"
~ iterations: long_type: "int" -> "long"; type: "%d" -> "%ld"
]=])
check("--ignore names and header paths"
  ARGS --ignore cmdline --ignore=.program.argv --ignore extra run_a.json run_b.json
  EXIT 1 ERR "" OUT [=[
~ .exit_status: 0 -> 3
~ big: 9007199254740993 -> 9007199254740992.0
- gone: "x"
~ iterations: long_type: "int" -> "long"; type: "%d" -> "%ld"
]=])
check("members of a later format" ARGS ext_a.json ext_b.json EXIT 1 ERR "" OUT [=[
~ .mpi.size: 4 -> 8
+ rank_seconds: ranks: [1.5,1.25]
~ residual: ranks: [1e-9,2e-9,1e-9,3e-9] -> [1e-9,2e-9,1e-9,4e-9]
]=])
check("records of an MPI job" ARGS run_mpi_a.json run_mpi_b.json EXIT 1 ERR "" OUT [=[
~ residual: ranks: [{"long_type":"double","rank":0,"type":"%f","value":1e-9},{"long_type":"double","rank":1,"type":"%f","value":3e-9}] -> [{"long_type":"double","rank":0,"type":"%f","value":1e-9},{"long_type":"double","rank":1,"type":"%f","value":4e-9}]
]=])
check("--json, equal" ARGS --json run_a.json run_noise.json EXIT 0 ERR ""
  OUT "{\"a\":\"run_a.json\",\"b\":\"run_noise.json\",\"differences\":[]}\n")
check("--json" ARGS --json ext_a.json ext_b.json EXIT 1 ERR "" OUT [=[
{"a":"ext_a.json","b":"ext_b.json","differences":[
{"change":"changed","path":".mpi.size","a":4,"b":8},
{"change":"added","name":"rank_seconds","b":{"category":3,"category_name":"performance","long_type":"time interval","name":"rank_seconds","ranks":[1.5,1.25],"recorded":"2026-01-05T10:00:00.000000200Z","subcategory":null,"type":"%t"}},
{"change":"changed","name":"residual","members":["ranks"],"a":{"category":2,"category_name":"general","long_type":"double","name":"residual","ranks":[1e-9,2e-9,1e-9,3e-9],"recorded":"2026-01-05T10:00:00.000000100Z","subcategory":"solver","type":"%f"},"b":{"category":2,"category_name":"general","long_type":"double","name":"residual","ranks":[1e-9,2e-9,1e-9,4e-9],"recorded":"2026-01-05T10:00:00.000000100Z","subcategory":"solver","type":"%f"}}
]}
]=])

check("missing file" ARGS run_a.json missing.json EXIT 2 OUT ""
  ERR "mekal-diff: missing.json: No such file or directory\n")
check("not JSON" ARGS run_a.json bad_not_json.json EXIT 2 OUT ""
  ERR "mekal-diff: bad_not_json.json: not JSON: the text ends inside an array (line 3, column 1)\n")
check("no schema" ARGS bad_no_schema.json run_a.json EXIT 2 OUT ""
  ERR "mekal-diff: bad_no_schema.json: not a run record (no \"schema\")\n")
check("unknown schema_version" ARGS run_a.json bad_version.json EXIT 2 OUT ""
  ERR "mekal-diff: bad_version.json: schema_version 2 is unknown (this mekal-diff reads 1)\n")
file(WRITE ${WORK_DIR}/deep.json "${deep}")
check("nested too deep" ARGS run_a.json - INPUT ${WORK_DIR}/deep.json EXIT 2 OUT ""
  ERR "mekal-diff: -: nested deeper than 1024 levels\n")
check("unknown option" ARGS --bogus run_a.json run_b.json EXIT 2 OUT ""
  ERR "mekal-diff: unrecognized option '--bogus'\n@USAGE@")
check("one operand" ARGS run_a.json EXIT 2 OUT ""
  ERR "mekal-diff: missing operand after 'run_a.json'\n@USAGE@")

# Texts are compared, and shown, with each record's pid replaced; standard
# input is read once.
check("the pid rule" ARGS pid_a.json pid_b.json EXIT 1 ERR "" OUT [=[
~ .program.argv: ["./app","--seed","5678"] -> ["./app","--seed","<pid>"]
~ scratch.<pid>: ["/tmp/app.<pid>.a","12345"] -> ["/tmp/app.<pid>.b","12345"]
~ seed: "seed 5678" -> "seed <pid>"
]=])
check("standard input twice" ARGS - - INPUT ${DATA}/run_a.json EXIT 2 OUT ""
  ERR "mekal-diff: standard input can be read only once: give '-' for one record at most\n@USAGE@")

# Values compare by what they mean: numbers by their exact value at any size
# and in any spelling, strings by their characters, objects whatever the
# order of their members (a repeated member: its last value). Each case is
# "A|B|exit status": a record holding A against one holding B.
function(write_record file value)
  file(WRITE ${WORK_DIR}/${file} "{\"schema\": \"mekal-run-record\", \"schema_version\": 1, \"values\": [{\"name\": \"v\", \"value\": ${value}}]}")
endfunction()
foreach(case
    "123456789012345678901234567890|1.2345678901234567890123456789e29|0"
    "123456789012345678901234567890|123456789012345678901234567891|1"
    "18446744073709551616|18446744073709551617|1"
    "1e400|10e399|0"
    "1e-400|1e-401|1"
    "[-0.0,2.50,1E+2,0.001]|[0,25e-1,100,1e-3]|0"
    "1e99999999999999999999|0.01e100000000000000000001|0"
    "1e99999999999999999999|1e99999999999999999998|1"
    "1e-99999999999999999999|100e-100000000000000000001|0"
    "[\"caf\\u00e9 \\\"x\\\"\\n\", \"\\ud83d\\ude00\"]|[\"café \\\"x\\\"\\u000a\",\"😀\"]|0"
    "\"tab\\there\"|\"tab here\"|1"
    "{\"b\": 1, \"a\": [2], \"b\": 3}|{\"a\":[2],\"b\":3}|0")
  string(REGEX MATCH "^([^|]*)[|]([^|]*)[|]([01])$" parts "${case}")
  write_record(value_a.json "${CMAKE_MATCH_1}")
  write_record(value_b.json "${CMAKE_MATCH_2}")
  set(out "")
  if(CMAKE_MATCH_3)
    set(out "~ v: ${CMAKE_MATCH_1} -> ${CMAKE_MATCH_2}\n")
  endif()
  check("values ${case}" ARGS ${WORK_DIR}/value_a.json ${WORK_DIR}/value_b.json
    EXIT ${CMAKE_MATCH_3} OUT "${out}" ERR "")
endforeach()

# What is not JSON is named in words, with its place.
foreach(case
    "|the file is empty (line 1, column 1)"
    "{\"v\": \"x|the text ends inside a string (line 1, column 9)"
    "{\"v\" 1}|expected ':', found '1' (line 1, column 6)"
    "[1,]|expected a value, found ']' (line 1, column 4)"
    "[nul]|expected a value (the only words are true, false and null) (line 1, column 2)"
    "[01]|expected ',' or ']', found '1' (line 1, column 3)"
    "[\"\\q\"]|expected an escape (\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u), found 'q' (line 1, column 4)"
    "[\"\\ud800\"]|a \\u escape names half a character (an unpaired surrogate) (line 1, column 3)"
    "[1] 2|more text after the JSON value (line 1, column 5)")
  string(FIND "${case}" "|" bar)
  string(SUBSTRING "${case}" 0 ${bar} text)
  math(EXPR bar "${bar} + 1")
  string(SUBSTRING "${case}" ${bar} -1 reason)
  file(WRITE ${WORK_DIR}/bad.json "${text}")
  check("not JSON: ${reason}" ARGS run_a.json ${WORK_DIR}/bad.json EXIT 2 OUT ""
    ERR "mekal-diff: ${WORK_DIR}/bad.json: not JSON: ${reason}\n")
endforeach()
check("not UTF-8" ARGS bad_utf8.json run_a.json EXIT 2 OUT ""
  ERR "mekal-diff: bad_utf8.json: not JSON: a string holds bytes that are not UTF-8 (line 1, column 14)\n")
string(REPEAT "[" 1024 deepest)
string(REPEAT "]" 1024 closing)
file(WRITE ${WORK_DIR}/deepest.json "${deepest}${closing}")
check("as deep as allowed" ARGS run_a.json ${WORK_DIR}/deepest.json EXIT 2 OUT ""
  ERR "mekal-diff: ${WORK_DIR}/deepest.json: not a run record (not a JSON object)\n")
