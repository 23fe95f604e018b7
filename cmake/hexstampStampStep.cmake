# The build step of hexstamp_stamp_image (cmake -P): runs hexstamp-reproducible for
# FIRST..LAST and writes OUTPUT as INPUT with that range replaced by the stamp. The program
# reads SOURCE_DATE_EPOCH itself, from the build's environment, not the configure's.
file(REMOVE "${OUTPUT}")
set(stamp "${OUTPUT}.stamp")

execute_process(COMMAND "${HEXSTAMP}" ${FIRST} ${LAST} OUTPUT_FILE "${stamp}"
                ERROR_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${stamp}")
  message(FATAL_ERROR "hexstamp-reproducible ${FIRST} ${LAST} failed:${report}")
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
