# SPDX-License-Identifier: ISC
# The demo: upfirst copies the samples in DIR, a fresh copy of SAMPLES, and tallymill counts.
file(REMOVE_RECURSE ${DIR})
file(COPY ${SAMPLES}/ DESTINATION ${DIR})
set(texts poem.txt notes.txt long-line.txt)
string(JOIN " " shown ${texts})
message("$ upfirst ${shown}")
execute_process(COMMAND ${UPFIRST} ${texts} WORKING_DIRECTORY ${DIR} COMMAND_ERROR_IS_FATAL ANY)
message("\npoem.txt, and its copy beside it:")
execute_process(COMMAND pr -m -t -w 84 poem.txt poem.txt_CAPIT.txt COMMAND head -n 4
                WORKING_DIRECTORY ${DIR} COMMAND_ERROR_IS_FATAL ANY)
message("\n$ tallymill")
execute_process(COMMAND ${TALLYMILL} COMMAND_ERROR_IS_FATAL ANY)
message("\nThe copies are in ${DIR}.")
