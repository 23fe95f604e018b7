# The man page and, on Linux, what a Debian package documents itself with: a machine-readable
# copyright file made from LICENSE and a Debian changelog made from CHANGELOG.md. Linux gets
# them compressed, as Debian policy asks, by gzip -9n: no name and no time in the header, so
# the same sources give the same bytes.
# One page covers both programs; man hexstamp-reproducible finds it through a link on Linux,
# as Debian asks, and through a .so request elsewhere.
# hexstamp-image has a page of its own.
configure_file(man/hexstamp.1.in hexstamp.1 @ONLY)
configure_file(man/hexstamp-image.1.in hexstamp-image.1 @ONLY)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-reproducible.1 ".so man1/hexstamp.1\n")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hexstamp.1
                ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-reproducible.1
                ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-image.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

set(HEXSTAMP_MAINTAINER "The hexstamp developers <hexstamp@example.org>"
    CACHE STRING "Maintainer of the Debian package, as: Name <address>")
find_program(GZIP gzip REQUIRED)

file(STRINGS LICENSE license_lines)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
string(APPEND copyright "Upstream-Name: hexstamp\n\nFiles: *\n")
string(APPEND copyright "Copyright: 2026 The hexstamp developers\nLicense: Expat\n")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^(MIT License|Copyright .*)?$")
    continue() # the title and notice are in the fields above; paragraphs need no blank lead
  endif()
  string(APPEND copyright " ${line}\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright "${copyright}")

foreach(page IN ITEMS hexstamp hexstamp-image)
  add_custom_command(
    OUTPUT ${page}.1.gz
    COMMAND ${GZIP} -9nc ${page}.1 > ${page}.1.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${page}.1
    VERBATIM)
endforeach()
add_custom_command(
  OUTPUT changelog.gz
  COMMAND ${CMAKE_COMMAND} -D CHANGELOG=${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
          -D MAINTAINER=${HEXSTAMP_MAINTAINER} -D OUTPUT=changelog
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/DebianChangelog.cmake
  COMMAND ${GZIP} -9nc changelog > changelog.gz
  DEPENDS CHANGELOG.md cmake/DebianChangelog.cmake
  VERBATIM)
add_custom_target(hexstamp_documents ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/hexstamp.1.gz
                                                 ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-image.1.gz
                                                 ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

file(CREATE_LINK hexstamp.1.gz ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-reproducible.1.gz SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hexstamp.1.gz
              ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-reproducible.1.gz
              ${CMAKE_CURRENT_BINARY_DIR}/hexstamp-image.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
