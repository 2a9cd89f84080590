# SPDX-License-Identifier: MIT
# Run by CPack once it has written the Debian packages: marks the library's package
# "Multi-Arch: same", so that the libraries of several architectures (amd64 and i386, say) can be
# installed side by side, as a 32-bit host on a 64-bit system needs. CPack has no setting for it.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name "${package}" NAME)
    if(NOT name MATCHES "^libzefa-nlp-engine1_.*\\.deb$")
        continue()
    endif()
    set(tree "${package}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    file(READ "${tree}/DEBIAN/control" control)
    string(REGEX REPLACE "\n+$" "" control "${control}")  # one paragraph: no blank line before
    file(WRITE "${tree}/DEBIAN/control" "${control}\nMulti-Arch: same\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()
