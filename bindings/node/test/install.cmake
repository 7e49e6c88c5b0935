# Installs the package as a user would: packed with npm, then installed with
# its dependency koffi from the npm registry into a fresh prefix. npm's cache
# lives in WORK and outlasts the prefix, so later runs need no download.
#   cmake -DNPM= -DSOURCE= -DWORK= -P install.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/checked_run.cmake)
require_defined(install.cmake NPM SOURCE WORK)

set(npm_options --cache ${WORK}/npm-cache --prefer-offline --no-audit --no-fund --no-update-notifier)
file(REMOVE_RECURSE ${WORK}/pack ${WORK}/prefix)
file(MAKE_DIRECTORY ${WORK}/pack ${WORK}/prefix)
run(${NPM} pack ${SOURCE} --pack-destination ${WORK}/pack ${npm_options})
message("${last_output}")
file(GLOB tarball ${WORK}/pack/tacetra-*.tgz)
run(${NPM} install --prefix ${WORK}/prefix ${npm_options} ${tarball})
message("${last_output}")
