# Installs a build of mekal into a scratch prefix and checks what a user
# gets: the installed tree, the library's dynamic section, the package
# version rules, a C consumer through find_package(mekal CONFIG), a C++
# consumer through pkg-config, the same C++ consumer built with mekal
# bundled by add_subdirectory and by FetchContent, and a consumer in a
# scratch git repository that records its own source revision; with a
# Fortran compiler, the README's Fortran program through the package and
# through pkg-config.
#
# -D inputs: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, C_COMPILER,
# CXX_COMPILER, READELF, PKG_CONFIG, GIT, SANITIZE (ON/OFF), MPI (ON/OFF: the
# MPI build), LAUNCHER (the test launcher with "|" between its words, may be
# empty), TOOLS (1 when the commands are built), PYTHON and PYTHON_DIR (the
# Python package's interpreter and directory under the prefix; empty when
# the package is not installed), FORTRAN_COMPILER and FORTRAN_DIR (the
# module's directory under include/ and lib/; both empty when the Fortran
# module is not built).
cmake_minimum_required(VERSION 3.25)

foreach(var BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR C_COMPILER CXX_COMPILER READELF)
  if(NOT ${var})
    message(FATAL_ERROR "install test: ${var} is not set")
  endif()
endforeach()
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "install test: pkg-config was not found (install pkgconf)")
endif()
if(NOT GIT)
  message(FATAL_ERROR "install test: git was not found (install git)")
endif()

set(here ${CMAKE_CURRENT_LIST_DIR})
set(prefix ${WORK_DIR}/prefix)
string(REPLACE "|" ";" launcher "${LAUNCHER}")
set(consumer_flags "")
if(SANITIZE)
  # The installed library needs the sanitizer runtimes loaded first.
  set(consumer_flags "-fsanitize=address,undefined")
endif()

# Runs a command, failing the test with its output when it fails.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install test: ${what} failed (${rc})\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Configures and builds a consumer project, then runs its program; with
# USE_PREFIX it loads the installed library, else the one it built.
function(consumer what source build program)
  cmake_parse_arguments(PARSE_ARGV 4 arg "USE_PREFIX" "" "")
  set(library_path)
  if(arg_USE_PREFIX)
    set(library_path LD_LIBRARY_PATH=${prefix}/lib)
  endif()
  run("configuring the ${what}" ${CMAKE_COMMAND} -S ${source} -B ${build} -G "${GENERATOR}"
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=${C_COMPILER}
      -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_C_FLAGS=${consumer_flags}"
      "-DCMAKE_CXX_FLAGS=${consumer_flags}" "-DCMAKE_EXE_LINKER_FLAGS=${consumer_flags}"
      ${arg_UNPARSED_ARGUMENTS})
  run("building the ${what}" ${CMAKE_COMMAND} --build ${build} -j2)
  run("running the ${what}" ${CMAKE_COMMAND} -E env ${library_path} ${launcher}
      ${build}/${program})
  message(STATUS "${what}: ${run_output}")
  set(run_output "${run_output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# --- install -------------------------------------------------------------
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT installed)
message(STATUS "installed: ${installed}")
set(commands)
if(TOOLS)
  set(commands bin/mekal-diff share/man/man1/mekal-diff.1 bin/mekal-run
      lib/mekal/libmekal-record.so share/man/man1/mekal-run.1 bin/mekal-db
      share/man/man1/mekal-db.1 bin/mekal-report share/man/man1/mekal-report.1
      share/doc/mekal/echarts/LICENSE share/doc/mekal/echarts/NOTICE)
endif()
set(fortran_files)
if(FORTRAN_COMPILER)
  string(REGEX REPLACE "^mekal/fortran/" "" fortran_tag "${FORTRAN_DIR}")
  set(fortran_files include/${FORTRAN_DIR}/mekal.mod lib/${FORTRAN_DIR}/libmekal_fortran.a
      lib/pkgconfig/mekal-fortran.pc lib/cmake/mekal/mekalFortran-${fortran_tag}.cmake)
endif()
foreach(expected include/mekal.h include/mekal.hpp lib/libmekal.so.0.5.0 lib/libmekal.so.0
                 lib/libmekal.so lib/cmake/mekal/mekalConfig.cmake lib/cmake/mekal/mekalBuildinfo.cmake
                 lib/cmake/mekal/mekalConfigVersion.cmake lib/cmake/mekal/mekalTargets.cmake
                 lib/pkgconfig/mekal.pc share/doc/mekal/LICENSE ${commands} ${fortran_files})
  if(NOT expected IN_LIST installed)
    message(FATAL_ERROR "install test: ${expected} is not installed")
  endif()
endforeach()
foreach(file ${installed})
  # Tests, benchmarks, fuzzers, examples and private headers stay out.
  if(file MATCHES "test|bench|fuzz|example|alloc_hooks|registry\\.h|types\\.h|values\\.h|copy2"
     OR (file MATCHES "^include/" AND NOT file MATCHES "^include/mekal\\.h(pp)?$"
         AND NOT file IN_LIST fortran_files))
    message(FATAL_ERROR "install test: ${file} should not be installed")
  endif()
endforeach()
foreach(link libmekal.so libmekal.so.0)
  if(NOT IS_SYMLINK ${prefix}/lib/${link})
    message(FATAL_ERROR "install test: lib/${link} is not a symbolic link")
  endif()
endforeach()
file(READ_SYMLINK ${prefix}/lib/libmekal.so.0 target)
if(NOT target STREQUAL "libmekal.so.0.5.0")
  message(FATAL_ERROR "install test: libmekal.so.0 points to ${target}")
endif()

# --- the installed recorder ----------------------------------------------
# mekal-run finds the recorder beside it, and the recorder its library, in
# the installed tree alone.
if(TOOLS AND NOT SANITIZE)
  run("installed mekal-run" ${prefix}/bin/mekal-run -o ${WORK_DIR}/installed-run.json -- /bin/true)
  file(READ ${WORK_DIR}/installed-run.json record)
  if(NOT record MATCHES "\"complete\": true" OR NOT record MATCHES "\"name\":\"hostname\"")
    message(FATAL_ERROR "install test: the installed mekal-run wrote no complete record:\n${record}")
  endif()
endif()

# --- the installed Python package ----------------------------------------
# It loads the library installed with it, found from its own place. A
# sanitized library needs the sanitizer's runtime preloaded into Python.
# (No ";" in the code: run() would split it.)
if(PYTHON_DIR AND NOT SANITIZE)
  foreach(file __init__.py _library_path.py records.py py.typed)
    if(NOT "${PYTHON_DIR}/mekal/${file}" IN_LIST installed)
      message(FATAL_ERROR "install test: ${PYTHON_DIR}/mekal/${file} is not installed")
    endif()
  endforeach()
  run("importing the installed Python package" ${CMAKE_COMMAND} -E env --unset=MEKAL_LIBRARY
    PYTHONPYCACHEPREFIX=${WORK_DIR}/pycache PYTHONPATH=${prefix}/${PYTHON_DIR} ${PYTHON} -c
    "import mekal\nmekal.record('x', (1, 'a'))\nprint(mekal.library_path, mekal.get('x'))")
  if(NOT run_output STREQUAL "${prefix}/lib/libmekal.so.0 (1, 'a')\n")
    message(FATAL_ERROR "install test: the Python package loaded something else: ${run_output}")
  endif()
endif()

# --- dynamic section ------------------------------------------------------
run("readelf" ${READELF} -dW ${prefix}/lib/libmekal.so.0.5.0)
set(dynamic "${run_output}")
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libmekal\\.so\\.0\\]")
  message(FATAL_ERROR "install test: the SONAME is not libmekal.so.0\n${dynamic}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]*\\]" needed "${dynamic}")
set(saw_libc FALSE)
foreach(entry ${needed})
  if(entry MATCHES "\\[libc\\.so\\.6\\]")
    set(saw_libc TRUE)
  elseif(NOT (SANITIZE AND entry MATCHES "\\[lib(asan|ubsan)\\.so\\.[0-9]+\\]")
         AND NOT (MPI AND entry MATCHES "\\[libmpi\\.so\\.[0-9]+\\]"))
    message(FATAL_ERROR "install test: unexpected NEEDED entry ${entry}")
  endif()
endforeach()
if(NOT saw_libc)
  message(FATAL_ERROR "install test: libc.so.6 is not NEEDED\n${dynamic}")
endif()
if(dynamic MATCHES "\\((RPATH|RUNPATH)\\)")
  message(FATAL_ERROR "install test: the installed library keeps a build RPATH")
endif()

# --- package version: 0.5.x requests only ---------------------------------
foreach(request 0.5:TRUE 0.5.0:TRUE 0:FALSE 0.4:FALSE 0.4.9:FALSE 0.6:FALSE 0.5.1:FALSE
                1.5:FALSE)
  string(REPLACE ":" ";" request "${request}")
  list(GET request 0 PACKAGE_FIND_VERSION)
  list(GET request 1 want)
  string(REPLACE "." ";" parts "${PACKAGE_FIND_VERSION}.0.0")
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  list(GET parts 1 PACKAGE_FIND_VERSION_MINOR)
  list(GET parts 2 PACKAGE_FIND_VERSION_PATCH)
  set(CMAKE_SIZEOF_VOID_P 8)
  unset(PACKAGE_VERSION_COMPATIBLE)
  include(${prefix}/lib/cmake/mekal/mekalConfigVersion.cmake)
  if((want AND NOT PACKAGE_VERSION_COMPATIBLE) OR (NOT want AND PACKAGE_VERSION_COMPATIBLE))
    message(FATAL_ERROR "install test: a request for ${PACKAGE_FIND_VERSION} gives "
                        "compatible=${PACKAGE_VERSION_COMPATIBLE}, expected ${want}")
  endif()
endforeach()

# --- C consumer through find_package --------------------------------------
consumer("C consumer (find_package)" ${here}/c_consumer ${WORK_DIR}/c-package c_consumer
         USE_PREFIX -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)

# --- C++ consumer through pkg-config --------------------------------------
file(READ ${prefix}/lib/pkgconfig/mekal.pc pc_text)
file(READ ${prefix}/lib/cmake/mekal/mekalConfig.cmake config_text)
if(NOT pc_text MATCHES "\nLicense: MIT\n" OR NOT config_text MATCHES "mekal_LICENSE \"MIT\"")
  message(FATAL_ERROR "install test: mekal.pc or mekalConfig.cmake does not state the licence")
endif()
run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
    ${PKG_CONFIG} --cflags --libs mekal)
string(STRIP "${run_output}" pc_flags)
if(NOT pc_flags MATCHES "-lmekal" OR NOT pc_flags MATCHES "-I")
  message(FATAL_ERROR "install test: pkg-config gives '${pc_flags}'")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(sanitize_flags UNIX_COMMAND "${consumer_flags}")
run("compiling the C++ consumer with pkg-config's flags" ${CXX_COMPILER} -std=c++17
    -Wall -Wextra -Wpedantic -Werror -fno-exceptions ${sanitize_flags}
    ${here}/cpp_consumer/main.cpp ${pc_flags} -o ${WORK_DIR}/cpp_consumer_pc)
run("running the C++ consumer (pkg-config)" ${CMAKE_COMMAND} -E env
    LD_LIBRARY_PATH=${prefix}/lib ${launcher} ${WORK_DIR}/cpp_consumer_pc)
message(STATUS "C++ consumer (pkg-config): ${run_output}")

# --- the README's Fortran program: CMake package and pkg-config -------------
if(FORTRAN_COMPILER)
  cmake_host_system_information(RESULT host QUERY HOSTNAME)
  consumer("Fortran consumer (find_package)" ${here}/fortran_consumer ${WORK_DIR}/fortran-package
           solver USE_PREFIX -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
           -DCMAKE_Fortran_COMPILER=${FORTRAN_COMPILER} "-DCMAKE_Fortran_FLAGS=${consumer_flags}")
  set(fortran_outputs "${run_output}")
  run("pkg-config (Fortran)" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
      ${PKG_CONFIG} --cflags --libs mekal-fortran)
  separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
  separate_arguments(sanitize_flags UNIX_COMMAND "${consumer_flags}")
  run("compiling the Fortran consumer with pkg-config's flags" ${FORTRAN_COMPILER}
      -Wall -Werror ${sanitize_flags} ${here}/fortran_consumer/main.f90 ${pc_flags}
      -o ${WORK_DIR}/fortran_consumer_pc)
  run("running the Fortran consumer (pkg-config)" ${CMAKE_COMMAND} -E env
      LD_LIBRARY_PATH=${prefix}/lib ${launcher} ${WORK_DIR}/fortran_consumer_pc)
  foreach(output "${fortran_outputs}" "${run_output}")
    if(NOT output STREQUAL "recorded on ${host}\n")
      message(FATAL_ERROR "install test: the Fortran consumer printed '${output}', "
                          "expected 'recorded on ${host}'")
    endif()
  endforeach()
  message(STATUS "Fortran consumer (pkg-config): ${run_output}")
endif()

# --- the same C++ consumer with mekal bundled ------------------------------
consumer("C++ consumer (add_subdirectory)" ${here}/cpp_consumer ${WORK_DIR}/cpp-subdirectory
         cpp_consumer -DMEKAL_CONSUME=subdirectory -DMEKAL_SOURCE_DIR=${SOURCE_DIR})
consumer("C++ consumer (FetchContent)" ${here}/cpp_consumer ${WORK_DIR}/cpp-fetchcontent
         cpp_consumer -DMEKAL_CONSUME=fetchcontent -DMEKAL_SOURCE_DIR=${SOURCE_DIR})
# A bundled mekal installs nothing and builds no test or example.
foreach(dir cpp-subdirectory/mekal cpp-fetchcontent/_deps/mekal-build)
  if(NOT EXISTS ${WORK_DIR}/${dir}/libmekal.so.0.5.0)
    message(FATAL_ERROR "install test: no bundled library in ${dir}")
  endif()
  if(EXISTS ${WORK_DIR}/${dir}/tests OR EXISTS ${WORK_DIR}/${dir}/examples)
    message(FATAL_ERROR "install test: the bundled mekal in ${dir} builds tests or examples")
  endif()
endforeach()

# --- the source revision of a consumer (mekal_target_buildinfo) -----------
# A scratch repository under WORK_DIR; git needs no configuration of its own.
# Its branch is named `off`, which CMake would take for false.
set(repo ${WORK_DIR}/revision-repo)
set(git ${GIT} -C ${repo} -c user.name=t -c user.email=t@example.invalid
    -c commit.gpgsign=false)
file(COPY ${here}/revision_consumer/ DESTINATION ${repo})
run("git init" ${git} -c init.defaultBranch=off init -q)
run("git add" ${git} add -A)
run("git commit" ${git} commit -q -m first)

# Compares what the consumer recorded with the repository's HEAD.
function(expect_revision what dirty output)
  run("git rev-parse" ${git} rev-parse HEAD)
  string(STRIP "${run_output}" head)
  string(STRIP "${output}" output)
  if(NOT output STREQUAL "git_commit=${head} git_dirty=${dirty} git_branch=off")
    message(FATAL_ERROR "install test: ${what}: recorded '${output}', HEAD is ${head}")
  endif()
endfunction()

set(revision_build ${WORK_DIR}/revision-build)
consumer("revision consumer" ${repo} ${revision_build} revision_consumer
         USE_PREFIX -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
expect_revision("first commit" 0 "${run_output}")
# A new commit and then a change to the tree reach the next build.
run("git commit" ${git} commit -q --allow-empty -m second)
foreach(step "second commit:0" "changed tree:1")
  string(REPLACE ":" ";" step "${step}")
  list(GET step 0 what)
  list(GET step 1 dirty)
  if(dirty)
    file(APPEND ${repo}/main.c "/* changed */\n")
  endif()
  run("rebuilding the revision consumer" ${CMAKE_COMMAND} --build ${revision_build} -j2)
  run("running the revision consumer" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib
      ${launcher} ${revision_build}/revision_consumer)
  expect_revision("${what}" ${dirty} "${run_output}")
endforeach()

# Outside a checkout nothing is defined: git is kept from finding the
# repository that holds this build tree.
set(plain ${WORK_DIR}/revision-plain)
file(COPY ${here}/revision_consumer/ DESTINATION ${plain})
set(ENV{GIT_CEILING_DIRECTORIES} ${WORK_DIR})
consumer("revision consumer outside git" ${plain} ${WORK_DIR}/revision-plain-build
         revision_consumer USE_PREFIX -DCMAKE_PREFIX_PATH=${prefix}
         -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
unset(ENV{GIT_CEILING_DIRECTORIES})
if(NOT run_output MATCHES "^git_commit=\\(none\\) git_dirty=-1 git_branch=\\(none\\)")
  message(FATAL_ERROR "install test: outside git the consumer recorded '${run_output}'")
endif()

message(STATUS "install test: passed")
