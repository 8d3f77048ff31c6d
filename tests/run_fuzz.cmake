# Runs the fuzz target for SECONDS on a corpus made afresh in CORPUS from
# built programs: KESTRIN, /bin/true, and two programs and two libraries of
# Wine's of each machine, where there are.
file(REMOVE_RECURSE ${CORPUS})
file(MAKE_DIRECTORY ${CORPUS})
set(seeds ${KESTRIN} /bin/true)
foreach(machine x86_64-windows i386-windows)
  foreach(extension exe dll)
    file(GLOB found /usr/lib/x86_64-linux-gnu/wine/${machine}/*.${extension}
                    /usr/lib/i386-linux-gnu/wine/${machine}/*.${extension})
    list(SORT found)
    list(SUBLIST found 0 2 found)
    list(APPEND seeds ${found})
  endforeach()
endforeach()
set(number 0)
foreach(seed IN LISTS seeds)
  if(EXISTS ${seed})
    math(EXPR number "${number} + 1")
    configure_file(${seed} ${CORPUS}/seed-${number} COPYONLY)
  endif()
endforeach()
# A crash's input is kept beside the corpus, named after what went wrong.
execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
                        -artifact_prefix=${CORPUS}-found- ${CORPUS}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the fuzz target failed (status ${status}): see the reproducer it wrote above")
endif()
