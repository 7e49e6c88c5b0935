# Installs the package as a user would, with pip and no package index, into
# a fresh virtual environment that sees the system's setuptools and wheel.
#   cmake -DPYTHON= -DSOURCE= -DWORK= -P install.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/checked_run.cmake)
require_defined(install.cmake PYTHON SOURCE WORK)

file(REMOVE_RECURSE ${WORK})
# pip builds in the directory it is given: a copy keeps the source tree clean.
file(COPY ${SOURCE}/ DESTINATION ${WORK}/source PATTERN tests EXCLUDE PATTERN __pycache__ EXCLUDE)
run(${PYTHON} -m venv --system-site-packages ${WORK}/venv)
message("${last_output}")
run(${WORK}/venv/bin/python -m pip install --no-build-isolation --no-index --disable-pip-version-check
    ${WORK}/source)
message("${last_output}")
