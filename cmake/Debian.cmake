# The Debian package (cpack -G DEB): for amd64 natively, or for arm64 from the cross build.
set(CPACK_PACKAGE_NAME hexstamp)
set(CPACK_PACKAGE_VENDOR "The hexstamp developers")
set(CPACK_PACKAGE_CONTACT "${HEXSTAMP_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 columns, as Debian's tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "hexstamp prints a complete Intel HEX file whose single data record holds the"
       "local date and time of its run, to the second, in packed BCD, aligned to the"
       "end of an address range of 1 to 16 bytes. Firmware builds merge it into their"
       "image after linking, so that every image carries its build time at a fixed"
       "address. hexstamp-reproducible, for reproducible builds, stamps the instant"
       "that SOURCE_DATE_EPOCH names, in UTC. A CMake package with"
       "hexstamp_stamp_image() does that merge in a CMake build, and"
       "hexstamp_stamp_elf() writes the stamp into a linked firmware ELF, where the"
       "firmware reads it back with the header hexstamp/stamp.h. hexstamp-image"
       "writes the stamp into an ELF, Intel HEX, S-record or binary image in place"
       "and reads it back, from the file or from a running board through the GDB"
       "server of its debug probe.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped as Debian's dh_strip strips, after cmake --install into cpack's staging folder.
configure_file(cmake/DebianStrip.cmake.in DebianStrip.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/DebianStrip.cmake)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the host's libraries: the target's C library version comes
  # from the binary's own symbol versions when cpack runs.
  set(architectures aarch64 arm64 arm armhf x86_64 amd64)
  list(FIND architectures "${CMAKE_SYSTEM_PROCESSOR}" at)
  math(EXPR at "${at} + 1")
  list(GET architectures ${at} CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(HEXSTAMP_READELF "${CMAKE_READELF}")
  configure_file(cmake/DebianDepends.cmake.in DebianDepends.cmake.in @ONLY)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/DebianDepends.cmake
       INPUT ${CMAKE_CURRENT_BINARY_DIR}/DebianDepends.cmake.in)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/DebianDepends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
