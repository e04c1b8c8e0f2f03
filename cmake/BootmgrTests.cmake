# Helpers for registering tests.
#
# Sanitizers for the asan preset apply to everything built in that tree.
option(BOOTMGR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BOOTMGR_COVERAGE "Build with gcov counters (make coverage)" OFF)
if(BOOTMGR_COVERAGE)
  add_compile_options(--coverage)
  add_compile_definitions(BOOTMGR_COVERAGE=1)
  add_link_options(--coverage)
endif()
if(BOOTMGR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# bootmgr_unit_test(NAME SOURCES... [LIBS lib...])
#   A GoogleTest binary of pure logic. It runs natively on the host and
#   under qemu-ppc in the cross build (label "unit").
function(bootmgr_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TEST_VECTOR_DIR="${PROJECT_SOURCE_DIR}/tests/vectors")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
endfunction()

# bootmgr_board_test(NAME SOURCES... [LIBS lib...] [BOARD_OPTIONS opt...])
#   A GoogleTest binary that needs the board's fixed paths or devices. It
#   runs inside the emulated board's sandbox ("boardsim run"), on a board
#   made fresh for it (label "board"). Host builds only.
function(bootmgr_board_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;BOARD_OPTIONS" ${ARGN})
  if(NOT BOOTMGR_HOST_TOOLS OR NOT TARGET boardsim)
    return()
  endif()
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  # CTest runs one command per test: the script makes a fresh board, then
  # runs the binary inside it with the binary's own exit status.
  set(board ${CMAKE_BINARY_DIR}/boards/${name})
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND}
    -DBOARDSIM=$<TARGET_FILE:boardsim> -DBOARD=${board}
    -DTEST_BINARY=$<TARGET_FILE:${name}> "-DBOARD_OPTIONS=${T_BOARD_OPTIONS}"
    -P ${PROJECT_SOURCE_DIR}/cmake/run-board-test.cmake)
  set_tests_properties(${name} PROPERTIES LABELS board TIMEOUT 300)
endfunction()
