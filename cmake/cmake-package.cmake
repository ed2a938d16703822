# The CMake package installed with the programs, for find_package(velmora): the imported
# programs velmora::velmora and velmora::inspect and velmora_add_download_image(). On Windows
# it sits in cmake/ beside the programs, where find_package looks in a prefix of that shape.
include(CMakePackageConfigHelpers)
if(WIN32)
  set(VELMORA_INSTALL_CMAKEDIR cmake)
else()
  set(VELMORA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/velmora)
endif()

install(EXPORT velmoraTargets NAMESPACE velmora:: DESTINATION ${VELMORA_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velmoraConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/velmoraConfig.cmake
                              INSTALL_DESTINATION ${VELMORA_INSTALL_CMAKEDIR})
# The package holds programs only, so a consumer of any pointer size may use it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velmoraConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/velmoraConfig.cmake
              ${PROJECT_BINARY_DIR}/velmoraConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/velmora-download-image.cmake
              ${CMAKE_CURRENT_LIST_DIR}/velmora-build-step.cmake
        DESTINATION ${VELMORA_INSTALL_CMAKEDIR})

# The same names for a velmora added with add_subdirectory() or FetchContent.
add_executable(velmora::velmora ALIAS velmora)
add_executable(velmora::inspect ALIAS velmora-inspect)
include(${CMAKE_CURRENT_LIST_DIR}/velmora-download-image.cmake)
