# The Windows tests: built with the program, run on Windows or under Wine.

add_executable(stand_in_launcher stand_in_launcher.cpp)
target_link_libraries(stand_in_launcher PRIVATE kestrin_warnings)
target_link_options(stand_in_launcher PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)

add_executable(windows_update_test windows_update_test.cpp expected_report.cpp
                                   run_program_windows.cpp)
target_link_libraries(windows_update_test PRIVATE kestrin_warnings GTest::gtest_main)
target_link_options(windows_update_test PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)
target_link_options(log_test PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)
target_compile_definitions(windows_update_test PRIVATE
                           KESTRIN_PROGRAM="$<TARGET_FILE:Kestrin>"
                           STAND_IN_LAUNCHER="$<TARGET_FILE:stand_in_launcher>")
add_dependencies(windows_update_test Kestrin stand_in_launcher)

# Listing the tests would mean starting Wine while building; instead the
# cases are split into shards that CTest runs in parallel.
set(shards 8)
math(EXPR last_shard "${shards} - 1")
add_test(NAME log_test COMMAND log_test)
set(windows_tests log_test)
foreach(shard RANGE ${last_shard})
  add_test(NAME windows_update_test_${shard} COMMAND windows_update_test)
  set_tests_properties(windows_update_test_${shard} PROPERTIES
                       ENVIRONMENT "GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${shard}")
  list(APPEND windows_tests windows_update_test_${shard})
endforeach()

# Under Wine: make the prefix and start Wine's background processes once,
# before any test, so that none of them holds on to a test's output.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  add_test(NAME wine_started COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/start-wine ${WINE_PREFIX})
  add_test(NAME wine_stopped COMMAND env WINEPREFIX=${WINE_PREFIX} wineserver -k)
  set_tests_properties(wine_started PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_stopped PROPERTIES FIXTURES_CLEANUP wine)
  set_tests_properties(${windows_tests} PROPERTIES FIXTURES_REQUIRED wine)
endif()
