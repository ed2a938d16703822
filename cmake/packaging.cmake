# The documentation to install, and the packages CPack makes from an installation: a .tar.gz
# and a .deb on Linux, a .zip on Windows, each named with the project's version, with a
# SHA256SUMS file beside them.
#   cmake --workflow --preset package    (Linux, in build/release)
#   cmake --workflow --preset windows    (velmora.exe, in build/windows)
#   cmake --workflow --preset arm64      (64-bit Arm Linux, in build/arm64)
#
# The .deb follows Debian's policy for binary packages, so that lintian finds nothing to say:
# gzipped man pages, a changelog.gz and a copyright file in /usr/share/doc/velmora, a
# maintainer with an address and an extended description. The bash completions of velmora and
# velmora-inspect go where bash-completion finds them.

# The version is said in the changelog and the man pages' title lines as well; a release that
# changes it in project() alone would ship a package that contradicts itself.
function(velmora_check_version file regex)
  file(STRINGS ${file} found REGEX "${regex}" LIMIT_COUNT 1)
  string(REGEX MATCH "${regex}" found "${found}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${file} says version '${CMAKE_MATCH_1}' where project() says "
                        "${PROJECT_VERSION}: change both")
  endif()
endfunction()
velmora_check_version(${PROJECT_SOURCE_DIR}/doc/changelog "^velmora \\(([^)]*)\\)")
# A man page's title line: .TH NAME SECTION "date" "velmora VERSION" "User Commands".
set(man_title "^\\.TH [^\"]*\"[^\"]*\" \"velmora ([^\"]*)\"")
velmora_check_version(${PROJECT_SOURCE_DIR}/doc/velmora.1 "${man_title}")
velmora_check_version(${PROJECT_SOURCE_DIR}/doc/velmora-inspect.1 "${man_title}")

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  # Man pages and the changelog compressed as Debian wants them: gzip -9 without a name or a
  # time stamp, so the same page always gives the same bytes.
  find_program(VELMORA_GZIP gzip)
  mark_as_advanced(VELMORA_GZIP)
  set(man_pages ${PROJECT_SOURCE_DIR}/doc/velmora.1 ${PROJECT_SOURCE_DIR}/doc/velmora-inspect.1)
  set(changelog ${PROJECT_SOURCE_DIR}/doc/changelog)
  if(VELMORA_GZIP)
    set(compressed "")
    foreach(file IN LISTS man_pages changelog)
      cmake_path(GET file FILENAME name)
      set(gz ${PROJECT_BINARY_DIR}/doc/${name}.gz)
      add_custom_command(OUTPUT ${gz}
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
                         COMMAND ${VELMORA_GZIP} -9nc ${file} > ${gz}
                         DEPENDS ${file}
                         COMMENT "Compressing ${name}")
      list(APPEND compressed ${gz})
    endforeach()
    add_custom_target(velmora_docs ALL DEPENDS ${compressed})
    list(TRANSFORM man_pages REPLACE "^.*/([^/]*)$" "${PROJECT_BINARY_DIR}/doc/\\1.gz")
    set(changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  endif()
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where bash-completion looks for a command's completion: a file named after the command.
  foreach(command velmora velmora-inspect)
    install(FILES ${PROJECT_SOURCE_DIR}/completion/${command}.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${command})
  endforeach()
  install(FILES ${changelog} ${PROJECT_SOURCE_DIR}/doc/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The whole licence text, for a system without Debian's /usr/share/common-licenses, and
  # lintian overrides for the .deb; cpack_pre_build.cmake leaves the text out of the .deb,
  # whose copyright file points to Debian's copy, and the overrides out of the .tar.gz.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME velmora)
  set(CPACK_VELMORA_LICENCE_TEXT ${CMAKE_INSTALL_DOCDIR}/LICENSE)
  set(CPACK_VELMORA_LINTIAN_DIR ${CMAKE_INSTALL_DATADIR}/lintian)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack_pre_build.cmake)
endif()

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "velmora developers")
set(CPACK_PACKAGE_CONTACT "velmora developers <velmora-dev@lists.velmora.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Composes a bootloader and two application images into one download image")
# Lines of at most 80 characters, as the .deb's control file wants them.
set(CPACK_PACKAGE_DESCRIPTION
    "velmora turns a second-stage bootloader and two application images into
one download image for a device that starts through that bootloader: the
three images at page-aligned offsets, and a boot header that describes both
applications with their load addresses, statuses and CRC-32 checksums. It is
byte-exact, refuses bad input instead of guessing, and never reports success
for an image it did not write whole.

velmora-inspect reads such an image back, shows what it holds, checks every
checksum and field, and can take the image apart again.

A CMake package with velmora_add_download_image() lets a firmware build
compose and check its image as one of its own build steps.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Every package gets a SHA256SUMS line, for `sha256sum -c SHA256SUMS`.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/sha256sums.cmake)
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
  # The completions work only where bash-completion loads them; the programs work without.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  # CPack asks dpkg for the architecture, which names the build machine's; a cross-compiled
  # package is for its target. dpkg-shlibdeps finds the target's libraries, and the packages
  # they come from, only where those are installed through multiarch (libstdc++6:arm64).
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
endif()
# A project that adds velmora with add_subdirectory() or FetchContent makes its own packages.
if(PROJECT_IS_TOP_LEVEL)
  include(CPack)
endif()
