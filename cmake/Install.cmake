# Where `cmake --install` puts the programs, their manual pages, the bash completion and the
# documentation. Included at the end of the top CMakeLists.txt, after every target exists.
include(GNUInstallDirs)

set(TAVRINSET_COMPLETIONSDIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE STRING "Bash completion directory, relative to the prefix")

# The manual pages carry the project's version, so they are filled in at configure time.
set(TAVRINSET_MAN_DIR "${PROJECT_BINARY_DIR}/man")
configure_file(man/tavrinset.1.in "${TAVRINSET_MAN_DIR}/tavrinset.1" @ONLY)

install(TARGETS tavrinset RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${TAVRINSET_MAN_DIR}/tavrinset.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES completion/tavrinset.bash
        DESTINATION "${TAVRINSET_COMPLETIONSDIR}" RENAME tavrinset)

if(TARGET tpanel-emu)
    configure_file(man/tpanel-emu.1.in "${TAVRINSET_MAN_DIR}/tpanel-emu.1" @ONLY)
    install(TARGETS tpanel-emu RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    install(FILES "${TAVRINSET_MAN_DIR}/tpanel-emu.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install(FILES completion/tpanel-emu.bash
            DESTINATION "${TAVRINSET_COMPLETIONSDIR}" RENAME tpanel-emu)
endif()

install(FILES README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/docs")
    install(DIRECTORY docs/ DESTINATION "${CMAKE_INSTALL_DOCDIR}" FILES_MATCHING PATTERN "*.md")
endif()
install(DIRECTORY contrib/ DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")
