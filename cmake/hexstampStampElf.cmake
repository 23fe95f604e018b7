# hexstamp_stamp_elf(<target> [SECTION <name> | SYMBOL <name>])
#
# After every link of the executable <target>, writes the stamp of that build into the linked
# file, in place: at the section <name> (default .hexstamp, as HEXSTAMP_DEFINE from
# <hexstamp/stamp.h> declares it) or at the symbol <name> (for linkers that rename sections),
# at its load address and size. The ELF that the debugger loads then carries the stamp, and so
# does any HEX or BIN made from it afterwards. The stamp comes from hexstamp-image: with
# SOURCE_DATE_EPOCH set in the build's environment, it is that instant in UTC. Needs no
# binutils. A failure fails the build and leaves no linked file, so that the next build links
# and stamps it again; its message names the linked file.

# Run by the build step below (cmake -P this file): stamps the linked file in place, and on a
# failure removes it, so that nothing looks up to date and the next build links it again.
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED HEXSTAMP_ELF)
  execute_process(COMMAND ${HEXSTAMP_TOOL} stamp ${HEXSTAMP_OPTION} ${HEXSTAMP_NAME} ${HEXSTAMP_ELF}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${HEXSTAMP_ELF})
    message(FATAL_ERROR "${HEXSTAMP_ELF} was not stamped and is removed: the next build links "
                        "it again")
  endif()
  return()
endif()

include_guard(GLOBAL)
set(_hexstamp_stamp_elf_script ${CMAKE_CURRENT_LIST_FILE})

function(hexstamp_stamp_elf target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SECTION;SYMBOL" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "hexstamp_stamp_elf(${target}): unknown ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_SECTION AND arg_SYMBOL)
    message(FATAL_ERROR "hexstamp_stamp_elf(${target}): give SECTION or SYMBOL, not both")
  elseif(arg_SYMBOL)
    set(option --symbol)
    set(name ${arg_SYMBOL})
  else()
    set(option --section)
    set(name .hexstamp)
    if(arg_SECTION)
      set(name ${arg_SECTION})
    endif()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DHEXSTAMP_TOOL=$<TARGET_FILE:hexstamp::hexstamp-image>
            -DHEXSTAMP_OPTION=${option} -DHEXSTAMP_NAME=${name}
            -DHEXSTAMP_ELF=$<TARGET_FILE:${target}> -P ${_hexstamp_stamp_elf_script}
    COMMENT "Stamping ${option} ${name} of ${target}"
    VERBATIM)
endfunction()
