# SPDX-License-Identifier: MIT
# Installation (GNUInstallDirs), the CMake package, the pkg-config file and the Debian packages.
include(CMakePackageConfigHelpers)

set(ZEFA_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZefaNlpEngine)

install(TARGETS zefa-nlp-engine EXPORT ZefaNlpEngineTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES
        include/zefa_nlp_engine.h
        include/zefa_nlp_server_error.h
        ${CMAKE_CURRENT_BINARY_DIR}/include/zefa_nlp_engine_export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(DIRECTORY include/ai_engine
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT ZefaNlpEngineTargets NAMESPACE ZefaNlpEngine::
    DESTINATION ${ZEFA_CMAKE_PACKAGE_DIR} COMPONENT development)

configure_package_config_file(cmake/ZefaNlpEngineConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/ZefaNlpEngineConfig.cmake
    INSTALL_DESTINATION ${ZEFA_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZefaNlpEngineConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${CMAKE_CURRENT_BINARY_DIR}/ZefaNlpEngineConfig.cmake
        ${CMAKE_CURRENT_BINARY_DIR}/ZefaNlpEngineConfigVersion.cmake
    DESTINATION ${ZEFA_CMAKE_PACKAGE_DIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so an installed tree can move.
file(RELATIVE_PATH ZEFA_PC_PREFIX_FROM_PCDIR
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZEFA_PC_PREFIX_FROM_PCDIR "${ZEFA_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/zefa-nlp-engine.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zefa-nlp-engine.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zefa-nlp-engine.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(TARGET zefa-chat)
    # Installed, zefa-chat finds the library of its own prefix, also of one the dynamic linker
    # does not search (~/zefa, say). Under /usr, where the Debian packages put it, the linker's
    # own directories hold the library, and the program keeps no run path.
    file(RELATIVE_PATH ZEFA_LIBDIR_FROM_BINDIR
        /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(zefa-chat PROPERTIES INSTALL_RPATH "\$ORIGIN/${ZEFA_LIBDIR_FROM_BINDIR}")
    install(TARGETS zefa-chat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/zefa-chat\")
        endif()" COMPONENT tools)
endif()
if(TARGET zefa-mock-service)
    install(TARGETS zefa-mock-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT mock EXCLUDE_FROM_ALL)
endif()

# Debian packages: the library, its development files, the command-line host.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zefa-nlp-engine)
set(CPACK_PACKAGE_VENDOR "zefa")
set(CPACK_PACKAGE_CONTACT "zefa NLP engine developers <engine@zefa.ai>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
if(TARGET zefa-mock-service)
    list(APPEND CPACK_COMPONENTS_ALL mock)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
    # The packages are for the target's Debian architecture, not for the build machine's.
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzefa-nlp-engine1)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzefa-nlp-engine-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libzefa-nlp-engine1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zefa-chat)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "zefa cloud chat engine for the host AI framework")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "zefa cloud chat engine: headers, CMake package and pkg-config file")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "zefa-chat: chat with the zefa model service")
set(CPACK_DEBIAN_MOCK_PACKAGE_NAME zefa-mock-service)
set(CPACK_DEBIAN_MOCK_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_MOCK_DESCRIPTION
    "zefa-mock-service: a local, offline stand-in for the zefa model service")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

# The Debian package that owns the library of an imported target, or nothing.
function(zefa_owning_package target out_var)
    set(${out_var} "" PARENT_SCOPE)
    foreach(property IMPORTED_LOCATION_RELEASE IMPORTED_LOCATION_NONE IMPORTED_LOCATION
                     IMPORTED_LOCATION_NOCONFIG IMPORTED_LOCATION_DEBUG)
        get_target_property(library ${target} ${property})
        if(library)
            break()
        endif()
    endforeach()
    if(NOT library)
        return()
    endif()
    file(REAL_PATH "${library}" library)
    execute_process(COMMAND dpkg-query -S "${library}"
        OUTPUT_VARIABLE owner ERROR_QUIET RESULT_VARIABLE status)
    if(status EQUAL 0)
        string(REGEX REPLACE ":.*" "" owner "${owner}")
        set(${out_var} "${owner}" PARENT_SCOPE)
    endif()
endfunction()

# A static cpr (scripts/install-deps.sh builds one where apt has none) is part of the library,
# which then needs only the libcurl it links, found by dpkg-shlibdeps. A shared cpr must come
# from a Debian package, named here; one of our own would be missing on the target machine.
if(ZEFA_CPR_TYPE STREQUAL "SHARED_LIBRARY")
    zefa_owning_package(cpr::cpr ZEFA_CPR_PACKAGE)
    if(ZEFA_CPR_PACKAGE)
        set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${ZEFA_CPR_PACKAGE}")
    else()
        message(WARNING "cpr is a shared library of no Debian package; the Debian packages "
            "cannot be built with it. scripts/install-deps.sh provides a static cpr in "
            "${ZEFA_DEPS_PREFIX}.")
    endif()
endif()
# zefa-chat needs the library of its sibling package, which dpkg-shlibdeps cannot see.
get_target_property(ZEFA_JSONCPP_TARGET JsonCpp::JsonCpp INTERFACE_LINK_LIBRARIES)
zefa_owning_package(${ZEFA_JSONCPP_TARGET} ZEFA_JSONCPP_PACKAGE)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS OFF)
string(JOIN ", " CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libzefa-nlp-engine1 (= ${PROJECT_VERSION})" ${ZEFA_JSONCPP_PACKAGE} "libedit2" "libstdc++6"
    "libgcc-s1" "libc6")

set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/multiarch_same.cmake)

include(CPack)
