# The program check under libFuzzer, with AddressSanitizer and
# UndefinedBehaviorSanitizer (the fuzz preset): a bounded run that must find
# no crash, no hang and no read outside the bytes given.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KESTRIN_FUZZ needs clang and its libFuzzer: configure with the fuzz preset")
endif()

set(fuzz_flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_executable(fuzz_program_image ${CMAKE_CURRENT_LIST_DIR}/fuzz_program_image.cpp
                                  ${PROJECT_SOURCE_DIR}/src/program_image.cpp)
target_include_directories(fuzz_program_image PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fuzz_program_image PRIVATE kestrin_warnings)
target_compile_options(fuzz_program_image PRIVATE ${fuzz_flags})
target_link_options(fuzz_program_image PRIVATE ${fuzz_flags})

# The seeds are made when the test runs: Kestrin itself, /bin/true, and a
# few of Wine's programs and libraries where Wine is installed.
add_test(NAME fuzz_program_image
         COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:fuzz_program_image>
                 -DCORPUS=${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus -DKESTRIN=$<TARGET_FILE:Kestrin>
                 -DSECONDS=40 -P ${CMAKE_CURRENT_LIST_DIR}/run_fuzz.cmake)
