# Runs the text compiler TOOL on FILES ('|'-separated) and fails unless it refuses them; its
# messages are printed for the test's output check.
string(REPLACE "|" ";" inputs "${FILES}")
execute_process(COMMAND ${TOOL} ${OUT} ${inputs} RESULT_VARIABLE result ERROR_VARIABLE errors)
message("${errors}")
if(result EQUAL 0)
  message(FATAL_ERROR "the compiler accepted the files")
endif()
