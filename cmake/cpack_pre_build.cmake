# Run by CPack on the staged files before each package is made (CPACK_PRE_BUILD_SCRIPTS).
# The .deb leaves out the licence text: Debian keeps it in /usr/share/common-licenses, and the
# package's copyright file names it there. The .tar.gz, which may land on any system, keeps
# the licence text and leaves out the lintian overrides, which only a .deb needs.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(leave_out "${CPACK_VELMORA_LICENCE_TEXT}")
else()
  set(leave_out "${CPACK_VELMORA_LINTIAN_DIR}")
endif()
set(leave_out "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${leave_out}")
if(NOT EXISTS "${leave_out}")
  message(FATAL_ERROR "CPack: ${leave_out}, to be left out of the ${CPACK_GENERATOR} package, "
                      "is missing")
endif()
file(REMOVE_RECURSE "${leave_out}")
