# Installs the package as a user would: packed with npm, then installed with
# its dependency koffi from the npm registry into a fresh prefix. npm's cache
# lives in WORK and outlasts the prefix, so later runs need no download.
#   cmake -DNPM= -DSOURCE= -DWORK= -P install.cmake
foreach(name NPM SOURCE WORK)
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

set(npm_options --cache ${WORK}/npm-cache --prefer-offline --no-audit --no-fund --no-update-notifier)
file(REMOVE_RECURSE ${WORK}/pack ${WORK}/prefix)
file(MAKE_DIRECTORY ${WORK}/pack ${WORK}/prefix)
run(${NPM} pack ${SOURCE} --pack-destination ${WORK}/pack ${npm_options})
file(GLOB tarball ${WORK}/pack/tacetra-*.tgz)
run(${NPM} install --prefix ${WORK}/prefix ${npm_options} ${tarball})
