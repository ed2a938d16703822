# The documentation to install, and the packages CPack makes from an installation: a .tar.gz
# and a .deb on Linux, a .zip on Windows, each named with the project's version.
#   cmake --workflow --preset package    (Linux, in build/release)
#   cmake --workflow --preset windows    (velmora.exe, in build/windows)
#   cmake --workflow --preset arm64      (64-bit Arm Linux, in build/arm64)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/doc/velmora.1 ${PROJECT_SOURCE_DIR}/doc/velmora-inspect.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "velmora developers")
set(CPACK_PACKAGE_CONTACT "velmora developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Composes a bootloader and two application images into one download image")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velmora-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_PACKAGE_FILE_NAME velmora-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  # velmora_<version>_<architecture>.deb, with the library versions it needs found by
  # dpkg-shlibdeps (package dpkg-dev).
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # CPack asks dpkg for the architecture, which names the build machine's; a cross-compiled
  # package is for its target. dpkg-shlibdeps finds the target's libraries, and the packages
  # they come from, only where those are installed through multiarch (libstdc++6:arm64).
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
endif()
include(CPack)
