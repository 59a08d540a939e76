# SPDX-License-Identifier: MIT
# Run by `cmake --install`: writes the systemd unit examples from their templates in
# units_templates (*.in) into the examples under units_docdir, with @TAVRINSET_BINDIR@ the
# directory the program is installed in, and lists them in the install manifest.
foreach(dir units_bindir units_docdir)
    if(NOT IS_ABSOLUTE "${${dir}}")
        set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
endforeach()
set(TAVRINSET_BINDIR "${units_bindir}")
file(GLOB templates "${units_templates}/*.in")
foreach(template IN LISTS templates)
    get_filename_component(name "${template}" NAME_WLE)
    set(unit "${units_docdir}/examples/${name}")
    message(STATUS "Installing: $ENV{DESTDIR}${unit}")
    configure_file("${template}" "$ENV{DESTDIR}${unit}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    # As file(INSTALL) lists what it installs: without DESTDIR.
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit}")
endforeach()
