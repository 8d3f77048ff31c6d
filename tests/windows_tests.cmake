# The Windows tests: the log line and the program's form checked here, and
# the end-to-end table run against Kestrin.exe under Wine by the table's
# runner, a program of this machine built by a build of its own.

# The stand-in launcher, and a program that holds files as scanners do.
foreach(helper stand_in_launcher file_holder)
  add_executable(${helper} ${helper}.cpp)
  target_link_libraries(${helper} PRIVATE kestrin_warnings)
  target_link_options(${helper} PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)
endforeach()
foreach(unit log_test program_image_test publisher_test)
  target_link_options(${unit} PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)
  add_test(NAME ${unit} COMMAND ${unit})
endforeach()
# The platform layer's parts, one table each.
add_executable(windows_layer_test windows_layer_test.cpp)
target_link_libraries(windows_layer_test PRIVATE kestrin_core GTest::gtest_main)
target_link_options(windows_layer_test PRIVATE $<$<NOT:$<BOOL:${MSVC}>>:-static>)
add_test(NAME windows_layer_test COMMAND windows_layer_test)
include(release_tests.cmake)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_HOST_UNIX)
  message(STATUS "Not running the Windows end-to-end table: it needs Wine on Linux")
  return()
endif()

include(ExternalProject)
# Under make, the runner's build shares the outer build's jobs.
if(CMAKE_GENERATOR MATCHES "Make")
  set(build_runner $(MAKE) update_test)
else()
  set(build_runner ${CMAKE_COMMAND} --build <BINARY_DIR> --target update_test)
endif()
ExternalProject_Add(table_runner
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/runner
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKESTRIN_WARNINGS_AS_ERRORS=${KESTRIN_WARNINGS_AS_ERRORS}
  BUILD_COMMAND ${build_runner}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_dependencies(table_runner Kestrin stand_in_launcher file_holder)

# An unprivileged user needs a Wine prefix of its own, where it can reach it.
string(MD5 build_hash ${CMAKE_BINARY_DIR})
string(SUBSTRING ${build_hash} 0 8 build_hash)
set(unprivileged_prefix /tmp/kestrin-wine-nobody-${build_hash})

# Listing the table's cases would mean building the runner while
# configuring; instead they are split into shards that CTest runs in parallel.
set(shards 12)
math(EXPR last_shard "${shards} - 1")
set(windows_tests log_test program_image_test publisher_test windows_layer_test)
foreach(shard RANGE ${last_shard})
  add_test(NAME update_test_${shard} COMMAND ${CMAKE_BINARY_DIR}/runner/tests/update_test)
  set_tests_properties(update_test_${shard} PROPERTIES ENVIRONMENT
    "GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${shard};KESTRIN_PROGRAM=$<TARGET_FILE:Kestrin>;KESTRIN_STAND_IN=$<TARGET_FILE:stand_in_launcher>;KESTRIN_HOLDER=$<TARGET_FILE:file_holder>;KESTRIN_WINE=${WINE_PROGRAM};WINESERVER=${WINE_SERVER};WINEPREFIX=${WINE_PREFIX};KESTRIN_UNPRIVILEGED_WINEPREFIX=${unprivileged_prefix}")
  list(APPEND windows_tests update_test_${shard})
endforeach()

# Kills at random instants and concurrent updaters under Wine, a few rounds.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME stress_kills_and_concurrent_runs
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/stress
                   --kills 4 --concurrent 2 --dir ${CMAKE_CURRENT_BINARY_DIR}
                   --wine ${WINE_PROGRAM} $<TARGET_FILE:Kestrin>)
  set_tests_properties(stress_kills_and_concurrent_runs PROPERTIES
                       PASS_REGULAR_EXPRESSION "no launcher lost"
                       ENVIRONMENT "WINEPREFIX=${WINE_PREFIX};WINESERVER=${WINE_SERVER};WINEDEBUG=-all")
  list(APPEND windows_tests stress_kills_and_concurrent_runs)
endif()

# Make the prefixes and start Wine's background processes once, before any
# test, so that none of them holds on to a test's output.
add_test(NAME wine_started COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/start-wine
                                   ${WINE_PROGRAM} ${WINE_SERVER} ${WINE_PREFIX} ${unprivileged_prefix})
add_test(NAME wine_stopped COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/start-wine --stop
                                   ${WINE_PROGRAM} ${WINE_SERVER} ${WINE_PREFIX} ${unprivileged_prefix})
set_tests_properties(wine_started PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_stopped PROPERTIES FIXTURES_CLEANUP wine)
set_tests_properties(${windows_tests} PROPERTIES FIXTURES_REQUIRED wine)
