# mekal_target_buildinfo(<target>)
#
# Gives <target>'s sources the source revision that MEKAL_BUILDINFO()
# records: at every build of the target a step asks git for the commit
# (MEKAL_GIT_COMMIT), `git describe --always --dirty` (MEKAL_GIT_DESCRIBE),
# whether the tree has changes (MEKAL_GIT_DIRTY, 0 or 1), the branch
# (MEKAL_GIT_BRANCH, absent on a detached HEAD) and the commit date
# (MEKAL_GIT_COMMIT_DATE, seconds since the epoch), and writes them into a
# generated header that mekal.h includes. The header is rewritten only when
# its content changes, so only a new commit or a change of the tree's state
# recompiles the sources that include mekal.h. When git is missing or the
# target's source directory is not a git checkout, nothing is defined.
#
# This file is also the generator: run with `cmake -P` and
# MEKAL_BUILDINFO_OUTPUT set, it writes that header.

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED MEKAL_BUILDINFO_OUTPUT)
  # Output of `git <args>` with the line end stripped, or empty when git fails.
  function(_mekal_git out)
    execute_process(COMMAND "${MEKAL_GIT_EXECUTABLE}" ${ARGN}
      RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      set(text "")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
  endfunction()

  # A C string literal of text.
  function(_mekal_c_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
  endfunction()

  set(content "/* Generated at build time by mekal_target_buildinfo: do not edit. */\n")
  _mekal_git(commit rev-parse --verify -q HEAD)
  # A repository without a commit has no revision to tell. git's output is
  # compared as text: as a truth value a branch or tag named `off`, `no` or
  # `x-NOTFOUND` would count as false and be dropped.
  if(NOT commit STREQUAL "")
    _mekal_git(describe describe --always --dirty)
    _mekal_git(branch rev-parse --abbrev-ref HEAD)
    _mekal_git(date log -1 --format=%ct)
    set(dirty 0)
    if(describe MATCHES "-dirty$")
      set(dirty 1)
    endif()
    _mekal_c_string(commit "${commit}")
    string(APPEND content "#define MEKAL_GIT_COMMIT ${commit}\n#define MEKAL_GIT_DIRTY ${dirty}\n")
    if(NOT describe STREQUAL "")
      _mekal_c_string(describe "${describe}")
      string(APPEND content "#define MEKAL_GIT_DESCRIBE ${describe}\n")
    endif()
    if(NOT branch STREQUAL "" AND NOT branch STREQUAL "HEAD")
      _mekal_c_string(branch "${branch}")
      string(APPEND content "#define MEKAL_GIT_BRANCH ${branch}\n")
    endif()
    if(date MATCHES "^[0-9]+$")
      string(APPEND content "#define MEKAL_GIT_COMMIT_DATE ${date}\n")
    endif()
  endif()

  set(old "")
  if(EXISTS "${MEKAL_BUILDINFO_OUTPUT}")
    file(READ "${MEKAL_BUILDINFO_OUTPUT}" old)
  endif()
  # An unchanged header keeps its time stamp, so nothing recompiles.
  if(NOT old STREQUAL content)
    file(WRITE "${MEKAL_BUILDINFO_OUTPUT}" "${content}")
  endif()
  return()
endif()

function(mekal_target_buildinfo target)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "mekal_target_buildinfo: ${target} is not a target")
  endif()
  # A second call for the target has nothing to add.
  if(TARGET ${target}_mekal_buildinfo)
    return()
  endif()
  find_package(Git QUIET)
  if(NOT GIT_EXECUTABLE)
    return()
  endif()
  get_target_property(source_dir ${target} SOURCE_DIR)
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --git-dir
    WORKING_DIRECTORY "${source_dir}" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    return()
  endif()

  get_target_property(binary_dir ${target} BINARY_DIR)
  set(header "${binary_dir}/mekal_buildinfo/${target}.h")
  add_custom_target(${target}_mekal_buildinfo
    COMMAND "${CMAKE_COMMAND}" "-DMEKAL_BUILDINFO_OUTPUT=${header}"
            "-DMEKAL_GIT_EXECUTABLE=${GIT_EXECUTABLE}" -P "${CMAKE_CURRENT_FUNCTION_LIST_FILE}"
    WORKING_DIRECTORY "${source_dir}"
    BYPRODUCTS "${header}"
    COMMENT "Reading the source revision of ${target}"
    VERBATIM)
  add_dependencies(${target} ${target}_mekal_buildinfo)
  target_compile_definitions(${target} PRIVATE "MEKAL_BUILDINFO_HEADER=\"${header}\"")
endfunction()
