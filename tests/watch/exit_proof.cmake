# Runs PROGRAM (through RUNNER when set) with the argument STATE: the exit-time
# check must end it with status 3 and describe the state on standard error
# as the regular expression EXPECTED says.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${RUNNER} ${PROGRAM} ${STATE} ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 3 OR NOT errors MATCHES "${EXPECTED}")
  message(FATAL_ERROR "${PROGRAM} ${STATE} exited with ${status}, standard error:\n${errors}")
endif()
