# The launcher's release preset refuses to configure without a key (it stops
# right after the compiler checks), and its message names the way out.
file(REMOVE_RECURSE "${SCRATCH_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --preset windows-release -B "${SCRATCH_DIR}" WORKING_DIRECTORY "${SOURCE_DIR}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${SCRATCH_DIR}")
string(REGEX REPLACE "[ \n]+" " " text "${out} ${err}")
foreach(needed "CORVEL_PUBLIC_KEY" "corvel-publish keygen" "CORVEL_ALLOW_UNSIGNED")
  string(FIND "${text}" "${needed}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "windows-release without a key: exit ${result}, no '${needed}' in:\n${text}")
  endif()
endforeach()
