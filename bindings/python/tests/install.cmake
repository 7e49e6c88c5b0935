# Installs the package as a user would, with pip and no package index, into
# a fresh virtual environment that sees the system's setuptools and wheel.
#   cmake -DPYTHON= -DSOURCE= -DWORK= -P install.cmake
foreach(name PYTHON SOURCE WORK)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "install.cmake: ${name} not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
  endif()
  message("${out}")
endfunction()

file(REMOVE_RECURSE ${WORK})
# pip builds in the directory it is given: a copy keeps the source tree clean.
file(COPY ${SOURCE}/ DESTINATION ${WORK}/source PATTERN tests EXCLUDE PATTERN __pycache__ EXCLUDE)
run(${PYTHON} -m venv --system-site-packages ${WORK}/venv)
run(${WORK}/venv/bin/python -m pip install --no-build-isolation --no-index --disable-pip-version-check
    ${WORK}/source)
