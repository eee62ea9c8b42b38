cmake_minimum_required(VERSION 3.25)
# Checks the built library: its exported dynamic symbols are exactly the
# list kept in the repo, it needs no library but the C library (and MPI's in
# the MPI build), and its own references to exported names go through the
# dynamic linker.
find_program(NM nm REQUIRED)
find_program(READELF readelf REQUIRED)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${nm_out}")
set(exported)
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" symbol "${line}")
  string(REGEX REPLACE "@.*$" "" symbol "${symbol}")
  list(APPEND exported ${symbol})
endforeach()
list(REMOVE_DUPLICATES exported)
list(SORT exported)

file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT exported STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "exported symbols differ\n  missing: ${missing}\n  unexpected: ${extra}")
endif()

execute_process(COMMAND ${READELF} -dW ${LIBRARY} OUTPUT_VARIABLE dyn_out)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dyn_out}")
# A sanitizer build also needs its runtimes, the MPI build its MPI library.
set(allowed "libc\\.so\\.6")
if(SANITIZE)
  string(APPEND allowed "|libasan\\.so\\.[0-9]+|libubsan\\.so\\.[0-9]+")
endif()
if(MPI)
  string(APPEND allowed "|libmpi\\.so\\.[0-9]+")
endif()
foreach(entry ${needed})
  if(NOT entry MATCHES "\\[(${allowed})\\]")
    message(FATAL_ERROR "unexpected NEEDED entry: ${entry}")
  endif()
endforeach()
if(NOT dyn_out MATCHES "\\(SONAME\\)[^\n]*\\[libmekal\\.so\\.0\\]")
  message(FATAL_ERROR "SONAME is not libmekal.so.0")
endif()

# Self-calls of exported functions bind through the PLT (JUMP_SLOT, or
# GLOB_DAT when taken by address) and the block through the GOT.
execute_process(COMMAND ${READELF} -rW ${LIBRARY} OUTPUT_VARIABLE rel_out)
foreach(symbol mekal_public melsys_get_public_mekal_symbol melsys_clock_realtime
               mekal_raw_namevalue mekal_namevalue melsys_get_times melsys_hostname
               mekal_cmdline melsys_cpu_model melsys_get_environment)
  if(NOT symbol IN_LIST exported)
    continue()
  endif()
  if(NOT rel_out MATCHES "R_X86_64_[A-Z_]+ +[0-9a-f]+ +${symbol}")
    message(FATAL_ERROR "${symbol} is not bound through the dynamic linker")
  endif()
endforeach()
list(LENGTH exported count)
message(STATUS "${count} exported symbols as listed; NEEDED: ${needed}")
