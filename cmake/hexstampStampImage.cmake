# hexstamp_stamp_image(<target> INPUT <hex> OUTPUT <hex> FIRST <address> LAST <address>
#                      [DEPENDS <target or file>...])
#
# Adds <target>, built by default, which on every build stamps the range FIRST..LAST with
# the time of that build and writes OUTPUT: INPUT with that range replaced by the stamp.
# Relative INPUT and OUTPUT paths are in the current binary directory. A failing hexstamp
# fails the build and leaves no OUTPUT. The stamp comes from hexstamp-reproducible: with
# SOURCE_DATE_EPOCH set in the build's environment, it is that instant in UTC, the same on
# every rebuild.
include_guard(GLOBAL)
set_property(GLOBAL PROPERTY hexstamp_stamp_step "${CMAKE_CURRENT_LIST_DIR}/hexstampStampStep.cmake")

function(hexstamp_stamp_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INPUT;OUTPUT;FIRST;LAST" "DEPENDS")
  foreach(required IN ITEMS INPUT OUTPUT FIRST LAST)
    if(NOT arg_${required})
      message(FATAL_ERROR "hexstamp_stamp_image(${target}): ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "hexstamp_stamp_image(${target}): unknown ${arg_UNPARSED_ARGUMENTS}")
  endif()

  find_program(HEXSTAMP_SREC_CAT srec_cat)
  if(NOT HEXSTAMP_SREC_CAT)
    message(FATAL_ERROR "hexstamp_stamp_image: srec_cat, which merges the stamp into the "
                        "image, was not found; install Debian's srecord package")
  endif()
  # srec_cat's -exclude takes the end one past the last address.
  math(EXPR end "${arg_LAST} + 1" OUTPUT_FORMAT HEXADECIMAL)
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_property(step GLOBAL PROPERTY hexstamp_stamp_step)

  set(files)
  set(targets)
  foreach(dependency IN LISTS arg_DEPENDS)
    if(TARGET ${dependency})
      list(APPEND targets ${dependency})
    else()
      list(APPEND files ${dependency})
    endif()
  endforeach()

  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -D HEXSTAMP=$<TARGET_FILE:hexstamp::hexstamp-reproducible>
            -D SREC_CAT=${HEXSTAMP_SREC_CAT}
            -D INPUT=${input} -D OUTPUT=${output}
            -D FIRST=${arg_FIRST} -D LAST=${arg_LAST} -D END=${end} -P ${step}
    DEPENDS ${files}
    BYPRODUCTS ${output}
    COMMENT "Stamping ${arg_OUTPUT} at ${arg_FIRST}..${arg_LAST}"
    VERBATIM)
  if(targets)
    add_dependencies(${target} ${targets})
  endif()
endfunction()
