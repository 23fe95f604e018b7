# The build step of hexstamp_stamp_image (cmake -P): runs hexstamp for FIRST..LAST and writes
# OUTPUT as INPUT with that range replaced by the stamp. SOURCE_DATE_EPOCH is read here, when
# the step runs, so that the build's environment decides, not the configure's.
file(REMOVE "${OUTPUT}")
set(stamp "${OUTPUT}.stamp")

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT EXISTS "${FAKETIME}")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is set, but libfaketime was not found, which runs "
                        "hexstamp at that instant; install Debian's faketime package")
  endif()
  set(ENV{LD_PRELOAD} "${FAKETIME}")
  set(ENV{FAKETIME_FMT} "%s")
  set(ENV{FAKETIME} "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{TZ} "UTC")
endif()
execute_process(COMMAND "${HEXSTAMP}" ${FIRST} ${LAST} OUTPUT_FILE "${stamp}"
                ERROR_VARIABLE report RESULT_VARIABLE status)
unset(ENV{LD_PRELOAD})
if(NOT status EQUAL 0)
  file(REMOVE "${stamp}")
  message(FATAL_ERROR "hexstamp ${FIRST} ${LAST} failed:${report}")
endif()

execute_process(COMMAND "${SREC_CAT}" "${INPUT}" -intel -exclude ${FIRST} ${END}
                        "${stamp}" -intel -o "${OUTPUT}.part" -intel
                RESULT_VARIABLE status)
file(REMOVE "${stamp}")
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}.part")
  message(FATAL_ERROR "srec_cat could not merge the stamp into ${INPUT}")
endif()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
