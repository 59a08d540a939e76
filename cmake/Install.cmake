# SPDX-License-Identifier: MIT
# Where `cmake --install` puts the programs, their manual pages, the shell completions and the
# documentation. Included by the top CMakeLists.txt once the programs are defined.
include(GNUInstallDirs)

set(TAVRINSET_COMPLETIONSDIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE STRING "Bash completion directory, relative to the prefix")
# Debian's package installs the bash completion with dh_bash-completion instead.
option(TAVRINSET_INSTALL_BASH_COMPLETION "Install the bash completion" ON)
# zsh on Debian reads packages' completions from /usr/share/zsh/vendor-completions and the
# local administrator's from /usr/local/share/zsh/site-functions.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(zsh_dir "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions")
else()
    set(zsh_dir "${CMAKE_INSTALL_DATADIR}/zsh/site-functions")
endif()
set(TAVRINSET_ZSH_COMPLETIONSDIR "${zsh_dir}"
    CACHE STRING "zsh completion directory, relative to the prefix")
# fish looks in fish/vendor_completions.d under every directory of XDG_DATA_DIRS, which holds
# /usr/local/share and /usr/share.
set(TAVRINSET_FISH_COMPLETIONSDIR "${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d"
    CACHE STRING "fish completion directory, relative to the prefix")

# install_completions(PROGRAM): the program's completion for each shell.
function(install_completions program)
    if(TAVRINSET_INSTALL_BASH_COMPLETION)
        install(FILES completion/${program}.bash
                DESTINATION "${TAVRINSET_COMPLETIONSDIR}" RENAME ${program})
    endif()
    install(FILES completion/_${program} DESTINATION "${TAVRINSET_ZSH_COMPLETIONSDIR}")
    install(FILES completion/${program}.fish DESTINATION "${TAVRINSET_FISH_COMPLETIONSDIR}")
endfunction()

# The manual pages carry the project's version and the date of the release, that of the newest
# entry of debian/changelog, so they are filled in at configure time.
file(STRINGS debian/changelog release_line REGEX "^ -- " LIMIT_COUNT 1)
if(NOT release_line MATCHES ", ([0-9]+) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]+) ")
    message(FATAL_ERROR "debian/changelog: no date in its newest entry's last line")
endif()
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months "${CMAKE_MATCH_2}" month)
math(EXPR month "${month} + 101")
math(EXPR day "${CMAKE_MATCH_1} + 100")
string(SUBSTRING "${month}" 1 2 month)
string(SUBSTRING "${day}" 1 2 day)
set(TAVRINSET_DATE "${CMAKE_MATCH_3}-${month}-${day}")
set(TAVRINSET_MAN_DIR "${PROJECT_BINARY_DIR}/man")
configure_file(man/tavrinset.1.in "${TAVRINSET_MAN_DIR}/tavrinset.1" @ONLY)

install(TARGETS tavrinset RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${TAVRINSET_MAN_DIR}/tavrinset.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install_completions(tavrinset)

if(TARGET tpanel-emu)
    configure_file(man/tpanel-emu.1.in "${TAVRINSET_MAN_DIR}/tpanel-emu.1" @ONLY)
    install(TARGETS tpanel-emu RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    install(FILES "${TAVRINSET_MAN_DIR}/tpanel-emu.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install_completions(tpanel-emu)
endif()

install(FILES README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
if(IS_DIRECTORY "${PROJECT_SOURCE_DIR}/docs")
    install(DIRECTORY docs/ DESTINATION "${CMAKE_INSTALL_DOCDIR}" FILES_MATCHING PATTERN "*.md")
endif()
install(DIRECTORY contrib/ DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples"
        PATTERN "*.in" EXCLUDE)
# The systemd units name the program where it is installed, which `cmake --install --prefix`
# can still change: they are written at install time.
install(CODE "set(units_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(units_docdir \"${CMAKE_INSTALL_DOCDIR}\")
    set(units_templates \"${PROJECT_SOURCE_DIR}/contrib\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/InstallUnits.cmake\")")
