# Installs the built project into a fresh prefix, checks the shared
# library's SONAME, then builds the C example against the installed tree
# twice, through the CMake package and through pkg-config, and runs both
# builds on INPUT.
#   cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DLIBDIR= -DC_COMPILER= -DINPUT= -DVERSION= -P packaging_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/checked_run.cmake)
require_defined(packaging_test BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR C_COMPILER INPUT VERSION)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(library ${prefix}/${LIBDIR}/libquenlark-tacetra.so)
foreach(file tacetra.h tacetra_version.h)
  if(NOT EXISTS ${prefix}/include/${file})
    message(FATAL_ERROR "not installed: include/${file}")
  endif()
endforeach()
run(readelf -d ${library}.${VERSION})
if(NOT last_output MATCHES "SONAME\\)[^\n]*\\[libquenlark-tacetra\\.so\\.1\\]")
  message(FATAL_ERROR "SONAME is not libquenlark-tacetra.so.1:\n${last_output}")
endif()
foreach(link ${library} ${library}.1)
  if(NOT IS_SYMLINK ${link})
    message(FATAL_ERROR "not a link to the versioned library: ${link}")
  endif()
endforeach()

# Through the CMake package; the build tree must not be what it finds.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/c -B ${WORK_DIR}/with-cmake
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -Dquenlark-tacetra_DIR=)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/with-cmake)
run(${WORK_DIR}/with-cmake/mute_host ${INPUT} ${WORK_DIR}/muted-with-cmake.mkv)
if(NOT last_output MATCHES "result: {\"state\":3,\"ok\":true,")
  message(FATAL_ERROR "the CMake-built host did not mute:\n${last_output}")
endif()

# Through pkg-config, as a Makefile would.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(pkg-config --cflags --libs quenlark-tacetra)
separate_arguments(flags UNIX_COMMAND "${last_output}")
run(${C_COMPILER} -std=c99 -Wall -Werror ${SOURCE_DIR}/examples/c/mute_host.c ${flags}
    -o ${WORK_DIR}/mute_host_pkg_config)
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
run(${WORK_DIR}/mute_host_pkg_config ${INPUT} ${WORK_DIR}/muted-with-pkg-config.mkv)
if(NOT last_output MATCHES "result: {\"state\":3,\"ok\":true,")
  message(FATAL_ERROR "the pkg-config-built host did not mute:\n${last_output}")
endif()
