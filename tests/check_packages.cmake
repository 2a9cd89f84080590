# SPDX-License-Identifier: MIT
# cmake -DBUILD_DIR=<engine build> -DWORK_DIR=<scratch> -DMULTIARCH=<x86_64-linux-gnu...>
#       -DCPR_STATIC=<ON|OFF> -P check_packages.cmake
# Builds the Debian packages and checks what each holds, depends on and is built for.
function(run out_var)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
    endif()
    set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

function(expect text what package)
    foreach(needle IN LISTS ARGN)
        string(FIND "${text}" "${needle}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "${package}: ${what} lacks '${needle}':\n${text}")
        endif()
    endforeach()
endfunction()

function(expect_not text what package)
    foreach(needle IN LISTS ARGN)
        string(FIND "${text}" "${needle}" at)
        if(NOT at EQUAL -1)
            message(FATAL_ERROR "${package}: ${what} should not hold '${needle}':\n${text}")
        endif()
    endforeach()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(ignored cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR})

function(package_of name out_var)
    file(GLOB deb ${WORK_DIR}/${name}_*.deb)
    if(NOT deb)
        message(FATAL_ERROR "no package ${name} in ${WORK_DIR}")
    endif()
    set(${out_var} ${deb} PARENT_SCOPE)
endfunction()

# The Debian architecture of the target, e.g. i386 for i386-linux-gnu.
execute_process(COMMAND dpkg-architecture -t ${MULTIARCH} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE architecture OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(libdir "./usr/lib/${MULTIARCH}")

package_of(libzefa-nlp-engine1 runtime)
run(contents dpkg-deb -c ${runtime})
run(depends dpkg-deb -f ${runtime} Depends)
run(built_for dpkg-deb -f ${runtime} Architecture)
run(multiarch dpkg-deb -f ${runtime} Multi-Arch)
expect("${contents}" contents libzefa-nlp-engine1 "${libdir}/libzefa-nlp-engine.so.1 ->"
    "${libdir}/libzefa-nlp-engine.so.1.0.0")
expect_not("${contents}" contents libzefa-nlp-engine1 "include/" "pkgconfig" "libzefa-nlp-engine.so ->")
expect("${depends}" Depends libzefa-nlp-engine1 "libjsoncpp25" "libcurl4" "libstdc++6")
expect("${built_for}" Architecture libzefa-nlp-engine1 "${architecture}")
expect("${multiarch}" Multi-Arch libzefa-nlp-engine1 "same")
if(CPR_STATIC)
    # cpr is inside the library: neither needed from another package nor loaded at run time.
    expect_not("${depends}" Depends libzefa-nlp-engine1 "cpr")
    run(ignored dpkg-deb -x ${runtime} ${WORK_DIR}/runtime)
    run(dynamic readelf -d ${WORK_DIR}/runtime/${libdir}/libzefa-nlp-engine.so.1.0.0)
    expect_not("${dynamic}" "dynamic section" libzefa-nlp-engine1 "libcpr")
endif()

package_of(libzefa-nlp-engine-dev development)
run(contents dpkg-deb -c ${development})
run(depends dpkg-deb -f ${development} Depends)
expect("${contents}" contents libzefa-nlp-engine-dev
    "include/zefa_nlp_engine.h" "include/zefa_nlp_engine_export.h"
    "include/zefa_nlp_server_error.h" "include/ai_engine/abstract_text_generation_engine.h"
    "include/ai_engine/abstract_ai_engine.h" "include/ai_engine/ai_engine_result.h"
    "include/ai_engine/engine_error.h"
    "cmake/ZefaNlpEngine/ZefaNlpEngineConfig.cmake"
    "cmake/ZefaNlpEngine/ZefaNlpEngineConfigVersion.cmake"
    "cmake/ZefaNlpEngine/ZefaNlpEngineTargets.cmake"
    "${libdir}/pkgconfig/zefa-nlp-engine.pc" "${libdir}/cmake/ZefaNlpEngine/"
    "${libdir}/libzefa-nlp-engine.so -> libzefa-nlp-engine.so.1")
expect_not("${contents}" contents libzefa-nlp-engine-dev "libzefa-nlp-engine.so.1.0.0")
expect("${depends}" Depends libzefa-nlp-engine-dev "libzefa-nlp-engine1 (= 1.0.0)")

package_of(zefa-chat tools)
run(contents dpkg-deb -c ${tools})
run(depends dpkg-deb -f ${tools} Depends)
expect("${contents}" contents zefa-chat "/usr/bin/zefa-chat")
expect("${depends}" Depends zefa-chat "libzefa-nlp-engine1" "libedit2")

package_of(zefa-mock-service mock)
run(contents dpkg-deb -c ${mock})
run(depends dpkg-deb -f ${mock} Depends)
expect("${contents}" contents zefa-mock-service "/usr/bin/zefa-mock-service")
expect("${depends}" Depends zefa-mock-service "libcpp-httplib" "libjsoncpp25")
foreach(package IN ITEMS development tools mock)
    run(built_for dpkg-deb -f ${${package}} Architecture)
    expect("${built_for}" Architecture ${${package}} "${architecture}")
endforeach()
message(STATUS "packages checked: ${runtime} ${development} ${tools} ${mock}")
