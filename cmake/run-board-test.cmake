# Makes a fresh emulated board and runs one test binary inside its sandbox.
# Variables: BOARDSIM, BOARD, TEST_BINARY, BOARD_OPTIONS (a list).
execute_process(
  COMMAND ${BOARDSIM} new ${BOARD} --force ${BOARD_OPTIONS}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "boardsim new ${BOARD} failed (${rc})")
endif()
execute_process(
  COMMAND ${BOARDSIM} run ${BOARD} -- ${TEST_BINARY}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TEST_BINARY} failed in the board sandbox (${rc})")
endif()
