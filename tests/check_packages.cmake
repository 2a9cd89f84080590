# SPDX-License-Identifier: MIT
# cmake -DBUILD_DIR=<engine build> -DWORK_DIR=<scratch> -DMULTIARCH=<x86_64-linux-gnu...>
#       -DCPR_STATIC=<ON|OFF> -P check_packages.cmake
# Builds the Debian packages and checks what each holds, depends on and is built for.
cmake_minimum_required(VERSION 3.25)

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

# The names of the packages a Depends field lists, without versions or alternatives' bars.
function(package_names depends out_var)
    string(REGEX REPLACE "\\([^)]*\\)" "" depends "${depends}")
    string(REGEX REPLACE "[ \n]" "" depends "${depends}")
    string(REGEX REPLACE "[,|]" ";" names "${depends}")
    set(${out_var} ${names} PARENT_SCOPE)
endfunction()

# The installed package that holds a shared library of the target's architecture.
function(owner_of soname out_var)
    if(soname MATCHES "^libzefa-nlp-engine\\.so")
        set(${out_var} libzefa-nlp-engine1 PARENT_SCOPE)
        return()
    endif()
    run(owners dpkg-query -S "*/${MULTIARCH}/${soname}")
    string(REGEX MATCH "^[^:, ]+" owner "${owners}")
    set(${out_var} ${owner} PARENT_SCOPE)
endfunction()

# Every shared library that a package's programs and libraries need comes from a package its
# Depends names: what dpkg-shlibdeps computed for the release at hand, or a list kept by hand.
function(expect_needed_packages deb package)
    set(tree ${WORK_DIR}/contents/${package})
    file(MAKE_DIRECTORY ${tree})
    run(ignored dpkg-deb -x ${deb} ${tree})
    run(depends dpkg-deb -f ${deb} Depends)
    package_names("${depends}" listed)
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${tree}/usr/bin/* ${tree}/usr/lib/*.so.*)
    foreach(file IN LISTS files)
        if(IS_SYMLINK ${file})
            continue()
        endif()
        run(dynamic readelf -d ${file})
        string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
        foreach(entry IN LISTS needed)
            string(REGEX REPLACE "Shared library: \\[(.+)\\]" "\\1" soname "${entry}")
            owner_of(${soname} owner)
            if(NOT owner IN_LIST listed)
                message(FATAL_ERROR "${package}: ${file} needs ${soname} of ${owner}, which "
                    "Depends does not name:\n${depends}")
            endif()
        endforeach()
    endforeach()
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
expect_needed_packages(${runtime} libzefa-nlp-engine1)
expect("${built_for}" Architecture libzefa-nlp-engine1 "${architecture}")
expect("${multiarch}" Multi-Arch libzefa-nlp-engine1 "same")
if(CPR_STATIC)
    # cpr is inside the library: neither needed from another package nor loaded at run time.
    expect_not("${depends}" Depends libzefa-nlp-engine1 "cpr")
    run(dynamic readelf -d
        ${WORK_DIR}/contents/libzefa-nlp-engine1/${libdir}/libzefa-nlp-engine.so.1.0.0)
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
expect("${depends}" Depends zefa-chat "libzefa-nlp-engine1")
expect_needed_packages(${tools} zefa-chat)

package_of(zefa-mock-service mock)
run(contents dpkg-deb -c ${mock})
expect("${contents}" contents zefa-mock-service "/usr/bin/zefa-mock-service")
expect_needed_packages(${mock} zefa-mock-service)
foreach(package IN ITEMS development tools mock)
    run(built_for dpkg-deb -f ${${package}} Architecture)
    expect("${built_for}" Architecture ${${package}} "${architecture}")
endforeach()
message(STATUS "packages checked: ${runtime} ${development} ${tools} ${mock}")
