# Runs one fuzz target for a bounded time over a scratch copy of its seed corpus.
# Arguments: FUZZER (the executable), SEEDS (the committed corpus), SCRATCH (a directory that
# this script owns and empties), SECONDS, RUNS, MAX_LENGTH (the longest input, in bytes).
foreach(argument FUZZER SEEDS SCRATCH SECONDS RUNS MAX_LENGTH)
  if(NOT DEFINED ${argument})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${argument}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${SCRATCH}/corpus)

execute_process(
  COMMAND ${FUZZER}
    -max_total_time=${SECONDS} -runs=${RUNS} -max_len=${MAX_LENGTH} -timeout=30 -rss_limit_mb=2048
    -print_final_stats=1 -artifact_prefix=${SCRATCH}/artifacts/
    ${SCRATCH}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB artifacts ${SCRATCH}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input that broke it: ${artifacts}")
endif()
