# hexstamp_stamp_image(<target> INPUT <file> OUTPUT <file> FIRST <address> LAST <address>
#                      [BASE <address>] [DEPENDS <target or file>...])
#
# Adds <target>, built by default, which on every build stamps the range FIRST..LAST with
# the time of that build and writes OUTPUT: INPUT, an Intel HEX, S-record or (with BASE, the
# address of its first byte) raw binary image, with that range replaced by the stamp and
# everything else as it was. Relative INPUT and OUTPUT paths are in the current binary
# directory. A failure fails the build and leaves no OUTPUT. The stamp comes from
# hexstamp-image: with SOURCE_DATE_EPOCH set in the build's environment, it is that instant in
# UTC, the same on every rebuild.
include_guard(GLOBAL)

function(hexstamp_stamp_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INPUT;OUTPUT;FIRST;LAST;BASE" "DEPENDS")
  foreach(required IN ITEMS INPUT OUTPUT FIRST LAST)
    if(NOT arg_${required})
      message(FATAL_ERROR "hexstamp_stamp_image(${target}): ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "hexstamp_stamp_image(${target}): unknown ${arg_UNPARSED_ARGUMENTS}")
  endif()
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(base)
  if(arg_BASE)
    set(base --base ${arg_BASE})
  endif()

  set(files)
  set(targets)
  foreach(dependency IN LISTS arg_DEPENDS)
    if(TARGET ${dependency})
      list(APPEND targets ${dependency})
    else()
      list(APPEND files ${dependency})
    endif()
  endforeach()

  # A stamped image from an earlier build must not outlive a failed one.
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND hexstamp::hexstamp-image stamp --first ${arg_FIRST} --last ${arg_LAST} ${base}
            --output ${output} ${input}
    DEPENDS ${files}
    BYPRODUCTS ${output}
    COMMENT "Stamping ${arg_OUTPUT} at ${arg_FIRST}..${arg_LAST}"
    VERBATIM)
  if(targets)
    add_dependencies(${target} ${targets})
  endif()
endfunction()
