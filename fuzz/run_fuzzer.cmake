# Runs one fuzz target for SECONDS over a fresh copy of the seeds in SEEDS, so that nothing is
# written into the source tree: new inputs, and any input that breaks the target, stay in
# SCRATCH, which this script owns and empties. Inputs of 4 KiB hold many buffer lists, or any
# command line; shorter ones would keep the rate up but reach less.
file(REMOVE_RECURSE ${SCRATCH})
file(COPY ${SEEDS}/ DESTINATION ${SCRATCH}/corpus)
file(MAKE_DIRECTORY ${SCRATCH}/artifacts)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=4096 -timeout=30
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=${SCRATCH}/artifacts/ ${SCRATCH}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input that broke it: ${SCRATCH}/artifacts")
endif()
