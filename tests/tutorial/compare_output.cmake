# Runs PROGRAM (through RUNNER when set) and compares its standard output
# with the file EXPECTED, byte for byte.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${RUNNER} ${PROGRAM}
                OUTPUT_VARIABLE actual ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${status}\n${errors}\nOutput:\n${actual}")
endif()
if(NOT EXISTS ${EXPECTED})
  message(FATAL_ERROR "No expected output ${EXPECTED}; the program printed:\n${actual}")
endif()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "Output differs from ${EXPECTED}\n--- expected\n${expected}--- actual\n${actual}")
endif()
if(errors)
  message(FATAL_ERROR "${PROGRAM} wrote to standard error:\n${errors}")
endif()
