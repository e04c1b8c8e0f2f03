# Strips a copy of a binary, prints its size and fails when it is above the
# limit. Variables: BINARY, STRIP (the target's strip), COPY (where the
# stripped copy goes), LIMIT (bytes).
execute_process(COMMAND ${STRIP} -o ${COPY} ${BINARY} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${STRIP} -o ${COPY} ${BINARY} failed (${rc})")
endif()
file(SIZE ${COPY} size)
math(EXPR kib "${size} / 1024")
message("stripped ${BINARY}: ${size} bytes (${kib} KiB); limit ${LIMIT} bytes")
if(size GREATER LIMIT)
  message(FATAL_ERROR "the stripped binary is ${size} bytes, above the limit of ${LIMIT}")
endif()
