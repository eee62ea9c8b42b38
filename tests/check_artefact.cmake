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

# The library's calls to its own exported functions bind through the
# dynamic linker (a JUMP_SLOT relocation, or GLOB_DAT when taken by address),
# so that a program's own definition is the one called; the shared block is
# reached through the GOT. Clang keeps this only with -fsemantic-interposition.
execute_process(COMMAND ${READELF} -rW ${LIBRARY} OUTPUT_VARIABLE rel_out)
string(REGEX MATCHALL "R_[A-Z0-9_]+_(JUMP_SLOT|GLOB_DAT) +[0-9a-f]+ +[^ @\n]+" slots "${rel_out}")
list(TRANSFORM slots REPLACE "^.* " "")
set(local)
foreach(symbol mekal_public melsys_get_public_mekal_symbol
               melsys_clock_realtime melsys_curtime melsys_starttime melsys_get_times
               melsys_get_executable melsys_get_cmdline_buffer melsys_get_cwd melsys_get_names
               melsys_hostname melsys_get_libraries melsys_cpu_model melsys_cpus_online
               melsys_cpus_allowed melsys_cpu_cache melsys_cpu_governor melsys_loadavg
               melsys_memory_total melsys_os_release melsys_uname melsys_page_size
               melsys_get_environment mekal_raw_namevalue mekal_namevalue mekal_get_nameval mekal_get_basetype
               mekal_cmdline mekal_libraries)
  if(NOT symbol IN_LIST exported)
    message(FATAL_ERROR "${symbol} is checked as called through the dynamic linker but not exported")
  endif()
  if(NOT symbol IN_LIST slots)
    list(APPEND local ${symbol})
  endif()
endforeach()
if(local)
  message(FATAL_ERROR "bound locally, not through the dynamic linker: ${local}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exported symbols as listed; NEEDED: ${needed}")
