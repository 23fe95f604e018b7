# hexstamp_stamp_elf(<target> [SECTION <name>])
#
# After every link of the executable <target>, writes the stamp of that build into the
# section <name> (default .hexstamp, as HEXSTAMP_DEFINE from <hexstamp/stamp.h> declares it)
# of the linked file, in place, for the section's load address and size. The ELF that the
# debugger loads then carries the stamp, and so does any HEX or BIN made from it afterwards.
# The stamp comes from hexstamp-reproducible: with SOURCE_DATE_EPOCH set in the build's
# environment, it is that instant in UTC. Needs the toolchain's objdump and objcopy
# (CMAKE_OBJDUMP, CMAKE_OBJCOPY), which CMake finds beside the compiler. A failure fails the
# build and removes the linked file, so that the next build links and stamps it again.
include_guard(GLOBAL)
set_property(GLOBAL PROPERTY hexstamp_stamp_elf_step
                             "${CMAKE_CURRENT_LIST_DIR}/hexstampStampElfStep.cmake")

function(hexstamp_stamp_elf target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SECTION" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "hexstamp_stamp_elf(${target}): unknown ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SECTION)
    set(arg_SECTION .hexstamp)
  endif()
  foreach(tool IN ITEMS OBJDUMP OBJCOPY)
    if(NOT CMAKE_${tool})
      message(FATAL_ERROR "hexstamp_stamp_elf(${target}): CMAKE_${tool} is not set; the "
                          "toolchain's binutils are needed to stamp the linked file")
    endif()
  endforeach()
  get_property(step GLOBAL PROPERTY hexstamp_stamp_elf_step)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D ELF=$<TARGET_FILE:${target}> -D SECTION=${arg_SECTION}
            -D HEXSTAMP=$<TARGET_FILE:hexstamp::hexstamp-reproducible>
            -D OBJDUMP=${CMAKE_OBJDUMP} -D OBJCOPY=${CMAKE_OBJCOPY} -P ${step}
    COMMENT "Stamping ${arg_SECTION} of ${target}"
    VERBATIM)
endfunction()
