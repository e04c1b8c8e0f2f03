# Makes a fresh emulated board and runs one test binary inside its sandbox.
# Variables: BOARDSIM, BOARD, TEST_BINARY, BOARD_OPTIONS (a list of options
# for "boardsim new", e.g. --freeze TIME or --fault KEY=VALUE).
# The test vectors folder is bound read-only at its host path, so
# TEST_VECTOR_DIR works inside the sandbox as it does outside.
get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(ro_args)
if(IS_DIRECTORY "${source_dir}/tests/vectors")
  list(APPEND ro_args --ro "${source_dir}/tests/vectors")
endif()
execute_process(
  COMMAND ${BOARDSIM} new ${BOARD} --force ${BOARD_OPTIONS}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "boardsim new ${BOARD} failed (${rc})")
endif()
execute_process(
  COMMAND ${BOARDSIM} run ${BOARD} ${ro_args} -- ${TEST_BINARY}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TEST_BINARY} failed in the board sandbox (${rc}); the board is kept in ${BOARD}")
endif()
