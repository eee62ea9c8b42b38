cmake_minimum_required(VERSION 3.25)
# CI runs as root on a shared machine: a tool handed a device such as
# /dev/null as an output file may delete it and leave a regular file there.
# Device paths may appear in the scripts only as redirections.
file(GLOB_RECURSE scripts ${SOURCE_DIR}/scripts/*.sh ${SOURCE_DIR}/fuzz/*.sh
  ${SOURCE_DIR}/tools/*.sh ${SOURCE_DIR}/tests/*.sh ${SOURCE_DIR}/tests/*.cmake
  ${SOURCE_DIR}/bench/*.sh ${SOURCE_DIR}/python/*.cmake)
list(APPEND scripts ${SOURCE_DIR}/.ci/run)
set(bad)
foreach(script ${scripts})
  file(STRINGS ${script} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    # Redirections are safe: the shell opens the device, no tool gets its name.
    string(REGEX REPLACE "[0-9&]?[<>]>?[ ]*/dev/[a-z]+" "" stripped "${line}")
    # This check's own comments and patterns name the devices.
    if(script MATCHES "device_paths_check.cmake$")
      continue()
    endif()
    if(stripped MATCHES "/dev/(null|zero|stdout|stderr|tty|full)")
      list(APPEND bad "${script}:${number}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n" report)
  message(FATAL_ERROR "device path used other than as a redirection:\n${report}")
endif()
list(LENGTH scripts count)
message(STATUS "${count} scripts: device paths only in redirections")
