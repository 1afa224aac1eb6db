# SPDX-License-Identifier: ISC
# Installs the build tree into PREFIX and checks that every file is there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/upfirst bin/tallymill share/man/man1/upfirst.1.gz share/man/man1/tallymill.1.gz
          share/doc/upfirst-tools/changelog.gz share/doc/upfirst-tools/copyright)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
