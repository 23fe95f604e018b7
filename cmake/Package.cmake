# The CMake package a firmware project finds with find_package(hexstamp): the imported
# executables hexstamp::hexstamp, hexstamp::hexstamp-reproducible and hexstamp::hexstamp-image,
# the firmware header as the interface target hexstamp::stamp, and the functions
# hexstamp_stamp_image() and hexstamp_stamp_elf(), which run hexstamp-image.
include(CMakePackageConfigHelpers)
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/hexstamp)
configure_package_config_file(cmake/hexstampConfig.cmake.in hexstampConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
# The tool runs on the build host, whatever the firmware's target: any pointer size matches.
write_basic_package_version_file(hexstampConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(EXPORT hexstampTargets NAMESPACE hexstamp:: DESTINATION ${package_dir})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hexstampConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/hexstampConfigVersion.cmake
              cmake/hexstampStampImage.cmake cmake/hexstampStampElf.cmake
        DESTINATION ${package_dir})
