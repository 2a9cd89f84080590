# SPDX-License-Identifier: MIT
# cmake -DBUILD_DIR=<engine build> -DWORK_DIR=<scratch> -DCONSUMER_SOURCE=<this dir>
#       [-DTOOLCHAIN_FILE=<file>] [-DEMULATOR=<program>] -P run_consumer_test.cmake
# Installs the engine into a scratch prefix, runs the installed zefa-chat from there, builds the
# consumer project against it in both ways, and runs both programs.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
    endif()
    message(STATUS "${out}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# Nothing in the environment points at the prefix's library: the program finds it by itself.
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=LD_PRELOAD
    ${EMULATOR} ${prefix}/bin/zefa-chat --version)

file(GLOB_RECURSE pc_files ${prefix}/*/zefa-nlp-engine.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
set(configure ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${build} -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN_FILE)
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${build})
run(${EMULATOR} ${build}/consumer_cmake)
run(${EMULATOR} ${build}/consumer_pkgconfig)
