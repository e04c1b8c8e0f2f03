# Runs the build's key check on FILE and says "key accepted" when it passes.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/BuiltinKeys.cmake)
bootmgr_read_builtin_key(test "${FILE}" text)
message("key accepted")
