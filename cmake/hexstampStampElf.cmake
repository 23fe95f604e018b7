# hexstamp_stamp_elf(<target> [SECTION <name> | SYMBOL <name>])
#
# After every link of the executable <target>, writes the stamp of that build into the linked
# file, in place: at the section <name> (default .hexstamp, as HEXSTAMP_DEFINE from
# <hexstamp/stamp.h> declares it) or at the symbol <name> (for linkers that rename sections),
# at its load address and size. The ELF that the debugger loads then carries the stamp, and so
# does any HEX or BIN made from it afterwards. The stamp comes from hexstamp-image: with
# SOURCE_DATE_EPOCH set in the build's environment, it is that instant in UTC. Needs no
# binutils. A failure fails the build and leaves no linked file, so that the next build links
# and stamps it again.
include_guard(GLOBAL)

function(hexstamp_stamp_elf target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SECTION;SYMBOL" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "hexstamp_stamp_elf(${target}): unknown ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_SECTION AND arg_SYMBOL)
    message(FATAL_ERROR "hexstamp_stamp_elf(${target}): give SECTION or SYMBOL, not both")
  elseif(arg_SYMBOL)
    set(place --symbol ${arg_SYMBOL})
  elseif(arg_SECTION)
    set(place --section ${arg_SECTION})
  else()
    set(place --section .hexstamp)
  endif()
  # The linked file is stamped under another name and only the stamped one takes its name.
  set(elf $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rename ${elf} ${elf}.unstamped
    COMMAND hexstamp::hexstamp-image stamp ${place} --output ${elf} ${elf}.unstamped
    COMMAND ${CMAKE_COMMAND} -E rm ${elf}.unstamped
    COMMENT "Stamping ${place} of ${target}"
    VERBATIM)
endfunction()
