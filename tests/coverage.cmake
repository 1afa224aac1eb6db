# SPDX-License-Identifier: ISC
# The coverage report: merges the counters of the runs made as other users
# into the build's own, then prints each program's line coverage.
file(GLOB users ${OTHER_USERS}/*)
foreach(user IN LISTS users)
  execute_process(COMMAND ${GCOV_TOOL} merge ${user} ${BUILD} -o ${BUILD}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(REMOVE_RECURSE ${OTHER_USERS})
execute_process(COMMAND ${GCOVR} --gcov-executable ${GCOV} --root ${SOURCE} --filter ${SOURCE}/upfirst/
                        --filter ${SOURCE}/tallymill/ --txt ${BUILD}/coverage.txt ${BUILD}
                COMMAND_ERROR_IS_FATAL ANY)
file(READ ${BUILD}/coverage.txt report)
message("${report}")
