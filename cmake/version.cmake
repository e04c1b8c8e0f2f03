# Writes OUT (a header) with the project version and the git commit of the
# source tree, run at every build so the commit is never stale; the file is
# rewritten only when its text changes, so nothing rebuilds needlessly.
# Variables: SOURCE_DIR, VERSION, OUT.
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR commit STREQUAL "")
  set(commit "unknown")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT dirty STREQUAL "")
    string(APPEND commit "-modified")
  endif()
endif()
string(CONCAT text "// Generated at build time by cmake/version.cmake.\n#pragma once\n"
       "#define BOOTMGR_VERSION \"${VERSION}\"\n#define BOOTMGR_COMMIT \"${commit}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
