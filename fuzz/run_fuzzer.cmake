# Runs a libFuzzer binary for a bounded time on a scratch copy of a seed
# corpus and fails on any finding.
#   cmake -D FUZZER=<binary> -D SEEDS=<seed dir> -D WORK=<scratch dir>
#         -D SECONDS=<time> -P run_fuzzer.cmake

foreach(var FUZZER SEEDS WORK SECONDS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "run_fuzzer.cmake needs -D ${var}=...")
    endif()
endforeach()

# A fresh corpus each run: what earlier runs found stays out of the next.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)

execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
    RESULT_VARIABLE result)

file(GLOB findings ${WORK}/artifacts/*)
if(NOT result EQUAL 0 OR findings)
    message(FATAL_ERROR "fuzzer finding (exit ${result}): ${findings}")
endif()
