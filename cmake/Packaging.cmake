# `cpack -G DEB` in the build directory makes a Debian package of exactly what
# `cmake --install` installs, under /usr.
set(TAVRINSET_MAINTAINER "tavrinset maintainers <maintainers@tavrinset.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME tavrinset)
set(CPACK_PACKAGE_VENDOR "tavrinset")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure a serial touchscreen controller")
# Debian wants the long description wrapped; CPack indents each line.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "tavrinset sets up a touchscreen controller on the serial line /dev/tpanel:"
    "screen size, calibration, touch filter, report delays and reporting mode."
    "It also runs the controller's self-test and prints raw coordinates for"
    "calibration."
    ""
    "tpanel-emu emulates the controller on a pseudo-terminal, to try the tool"
    "and to test scripts without hardware.")
set(CPACK_PACKAGE_CONTACT "${TAVRINSET_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVRINSET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from the binaries themselves (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")

include(CPack)
