# The build step of hexstamp_stamp_elf (cmake -P): finds SECTION in the linked file ELF with
# OBJDUMP, runs HEXSTAMP (hexstamp-reproducible) for its load address and size, and writes
# the stamp's bytes into the section with OBJCOPY. On any failure the linked file is removed,
# so that no file that merely looks stamped is taken as up to date.
set(work "${ELF}.hexstamp")

function(fail)
  string(JOIN "" text ${ARGN})
  file(REMOVE "${ELF}" "${work}.hex" "${work}.bin" "${work}.elf")
  message(FATAL_ERROR "hexstamp_stamp_elf: ${ELF}: ${text}")
endfunction()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    fail("section ${SECTION}: ${what} failed (${status}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("${OBJDUMP} -h" "${OBJDUMP}" -h -w "${ELF}")
# Idx Name Size VMA LMA File-offset Alignment Flags, numbers in hexadecimal.
string(REPLACE "." "\\." name "${SECTION}")
set(hex "[0-9a-fA-F]+")
if(NOT out MATCHES "\n *[0-9]+ +${name} +(${hex}) +${hex} +(${hex}) +${hex} +[^\n]*")
  fail("no section ${SECTION}. Declare the stamp in the firmware with "
       "HEXSTAMP_DEFINE(name, length) from <hexstamp/stamp.h>, which puts it in .hexstamp, "
       "and keep it in the linker script with KEEP(*(.hexstamp))")
endif()
set(line "${CMAKE_MATCH_0}")
math(EXPR size "0x${CMAKE_MATCH_1}")
math(EXPR first "0x${CMAKE_MATCH_2}" OUTPUT_FORMAT HEXADECIMAL)
if(size LESS 1 OR size GREATER 16)
  fail("section ${SECTION} holds ${size} bytes, but a stamp holds 1 to 16")
endif()
if(NOT line MATCHES "CONTENTS")
  fail("section ${SECTION} has no contents in the file, as in .bss, but a stamp must be "
       "initialized data, as HEXSTAMP_DEFINE declares it")
endif()
math(EXPR last "${first} + ${size} - 1" OUTPUT_FORMAT HEXADECIMAL)

execute_process(COMMAND "${HEXSTAMP}" ${first} ${last} OUTPUT_FILE "${work}.hex"
                ERROR_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("section ${SECTION}: hexstamp-reproducible ${first} ${last} failed:${report}")
endif()
run("${OBJCOPY} (Intel HEX to binary)" "${OBJCOPY}" -I ihex -O binary "${work}.hex"
    "${work}.bin")
file(SIZE "${work}.bin" written)
if(NOT written EQUAL size)
  fail("section ${SECTION}: the stamp came out as ${written} bytes, not ${size}")
endif()
run("${OBJCOPY} --update-section" "${OBJCOPY}" --update-section "${SECTION}=${work}.bin"
    "${ELF}" "${work}.elf")
file(RENAME "${work}.elf" "${ELF}")
file(REMOVE "${work}.hex" "${work}.bin")
