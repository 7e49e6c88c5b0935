# Helpers for the scripts that tests run with `cmake -P`.

# Fails unless each named variable was given (-DNAME=...).
function(require_defined script)
  foreach(name ${ARGN})
    if(NOT DEFINED ${name})
      message(FATAL_ERROR "${script}: ${name} not given")
    endif()
  endforeach()
endfunction()

# Runs a command; fails with the command and its output when it fails, and
# otherwise leaves its output in `last_output`.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()
