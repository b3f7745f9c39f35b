# cmake -DBUILD_DIR=<build> -DSTAGE=<dir> -DSBIN=<configured sbin dir> -P check_install.cmake
# Installs BUILD_DIR under the prefix STAGE and fails on the first file missing from its place.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(program sbin/rt_server bin/rt_peer bin/rt_bench)
  if(NOT EXISTS ${STAGE}/${program} OR IS_DIRECTORY ${STAGE}/${program})
    message(FATAL_ERROR "missing ${program}")
  endif()
  execute_process(COMMAND test -x ${STAGE}/${program} RESULT_VARIABLE executable)
  if(NOT executable EQUAL 0)
    message(FATAL_ERROR "${program} is not executable")
  endif()
endforeach()

foreach(file share/rt_server/schema.sql
             share/doc/rt_server/examples/common_server.conf.xml
             share/doc/rt_server/examples/rt_server.conf.xml
             lib/systemd/system/rt_server.service
             lib/tmpfiles.d/rt_server.conf
             share/man/man8/rt_server.8
             share/man/man1/rt_peer.1
             share/man/man1/rt_bench.1)
  if(NOT EXISTS ${STAGE}/${file})
    message(FATAL_ERROR "missing ${file}")
  endif()
endforeach()

file(READ ${STAGE}/lib/systemd/system/rt_server.service unit)
if(NOT unit MATCHES "ExecStart=${SBIN}/rt_server\n")
  message(FATAL_ERROR "the unit does not start ${SBIN}/rt_server:\n${unit}")
endif()
if(unit MATCHES "@[A-Z_]+@")
  message(FATAL_ERROR "the unit still holds a placeholder:\n${unit}")
endif()
file(READ ${STAGE}/share/rt_server/schema.sql schema)
if(NOT schema MATCHES "CREATE TABLE IF NOT EXISTS bd_agent")
  message(FATAL_ERROR "schema.sql is not the schema")
endif()
file(REMOVE_RECURSE ${STAGE})
