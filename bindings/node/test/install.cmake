# Installs the package as the README tells a user to: into a fresh project,
# from its folder, with its dependency koffi from the npm registry. npm links
# a folder outside the project without installing its dependencies;
# --install-links installs it as a package instead. npm's cache lives in WORK
# and outlasts the project, so later runs need no download.
#   cmake -DNPM= -DSOURCE= -DWORK= -P install.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/checked_run.cmake)
require_defined(install.cmake NPM SOURCE WORK)

set(npm_options --cache ${WORK}/npm-cache --prefer-offline --no-audit --no-fund --no-update-notifier)
file(REMOVE_RECURSE ${WORK}/project)
file(WRITE ${WORK}/project/package.json "{ \"name\": \"fresh-project\", \"private\": true }\n")
run(${NPM} install --prefix ${WORK}/project --install-links ${npm_options} ${SOURCE})
message("${last_output}")
# A copy, not a link into the source tree, with koffi beside it.
foreach(installed tacetra/package.json tacetra/lib/job.js koffi/package.json)
  if(IS_SYMLINK ${WORK}/project/node_modules/tacetra OR NOT EXISTS ${WORK}/project/node_modules/${installed})
    message(FATAL_ERROR "npm install left no node_modules/${installed} in the project")
  endif()
endforeach()
