# Builds and runs the example program with the commands of the binding's
# README, in a fresh folder: mcs, mono.config saved beside the program, mono.
# Its input comes from the fixture writer.
#   cmake -DMCS= -DMONO= -DSOURCE= -DWORK= -DWRITER= -P install.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/checked_run.cmake)
require_defined(install.cmake MCS MONO SOURCE WORK WRITER)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${SOURCE}/example/Mute.cs DESTINATION ${WORK})
run(${WRITER} ${WORK}/clip.mkv)
run(${MCS} -out:${WORK}/Mute.exe ${WORK}/Mute.cs ${SOURCE}/Tacetra.cs)
file(COPY_FILE ${SOURCE}/mono.config ${WORK}/Mute.exe.config)
run(${MONO} ${WORK}/Mute.exe ${WORK}/clip.mkv ${WORK}/muted.mkv)
message("${last_output}")
if(NOT last_output MATCHES "\"state\":3,\"ok\":true,\"out_path\":\"${WORK}/muted.mkv\"" OR NOT EXISTS ${WORK}/muted.mkv)
  message(FATAL_ERROR "the example did not mute ${WORK}/clip.mkv into ${WORK}/muted.mkv")
endif()
