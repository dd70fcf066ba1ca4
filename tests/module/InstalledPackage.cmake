# Installs the project's Tessor component into a prefix below the build
# tree, builds the example host against it (find_package, then pkg-config
# when it is there) and runs it.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE_DIR=... -DC_COMPILER=...
#         [-DBUILD_TYPE=...] [-DSANITIZE=address,undefined] -P InstalledPackage.cmake
cmake_minimum_required(VERSION 3.25)
set(prefix ${WORK_DIR}/prefix)
set(exbuild ${WORK_DIR}/example)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/log)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Tessor)
foreach(f include/tessor/tessor.h include/tessor/tessor.hpp)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB_RECURSE libs ${prefix}/*/libtessor.so.1)
file(GLOB_RECURSE configs ${prefix}/*/TessorConfig.cmake)
file(GLOB_RECURSE pcs ${prefix}/*/tessor.pc)
if(NOT libs OR NOT configs OR NOT pcs)
  message(FATAL_ERROR "libtessor.so.1, TessorConfig.cmake or tessor.pc missing below ${prefix}")
endif()

# An instrumented library needs an instrumented host (the runtime comes first).
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
set(ENV{TESSOR_LOG_DIR} ${WORK_DIR}/log)
set(ENV{ASAN_OPTIONS} "detect_leaks=1:abort_on_error=1")

run("configure example" ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${exbuild}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run("build example" ${CMAKE_COMMAND} --build ${exbuild})
run("run example" ${exbuild}/tessor-c-host)
foreach(want "GetVersion -> \"1.0.0.28\"" "CallID = \"\"" "AStatus = 0" "RType = 0" "OcxVersion = \"1.0.0.28\"")
  string(FIND "${last_output}" "${want}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the example did not print ${want}:\n${last_output}")
  endif()
endforeach()
message(STATUS "find_package build:\n${last_output}")

find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  list(GET pcs 0 pc)
  get_filename_component(pcdir ${pc} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pcdir})
  run("pkg-config" ${PKG_CONFIG} --cflags --libs tessor)
  string(STRIP "${last_output}" pcflags)
  separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
  list(GET libs 0 lib)
  get_filename_component(libdir ${lib} DIRECTORY)
  run("pkg-config build" ${C_COMPILER} ${flags} ${EXAMPLE_DIR}/main.c ${pcflags} -Wl,-rpath,${libdir}
    -o ${WORK_DIR}/tessor-c-host-pc)
  run("run pkg-config build" ${WORK_DIR}/tessor-c-host-pc)
  string(FIND "${last_output}" "GetVersion -> \"1.0.0.28\"" at)
  if(at LESS 0)
    message(FATAL_ERROR "the pkg-config build did not print its version:\n${last_output}")
  endif()
endif()
