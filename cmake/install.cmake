# Where `cmake --install` puts the router, the operator tools and their files. Paths follow the
# GNU layout, so `--prefix /usr` gives a Debian-style tree (/usr/sbin/rt_server, /usr/bin/rt_peer,
# /usr/share/man/...). Examples are installed as examples, never over /etc/norvale: a reinstall
# must not replace a live configuration that holds the database password.

install(TARGETS rt_server RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS rt_peer rt_bench rt_status RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/sql/schema.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/rt_server)
file(GLOB RT_EXAMPLE_CONFIGS ${PROJECT_SOURCE_DIR}/config/*.xml)
install(FILES ${RT_EXAMPLE_CONFIGS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit names the daemon by its installed path.
configure_file(${PROJECT_SOURCE_DIR}/packaging/rt_server.service
               ${PROJECT_BINARY_DIR}/packaging/rt_server.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/rt_server.service DESTINATION lib/systemd/system)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/rt_server.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/rt_peer.1 ${PROJECT_SOURCE_DIR}/docs/man/rt_bench.1
              ${PROJECT_SOURCE_DIR}/docs/man/rt_status.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(RT_BUILD_TESTS)
  # Installs the built tree into a staging directory and checks the layout.
  add_test(NAME InstallLayout
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                   -DSTAGE=${PROJECT_BINARY_DIR}/install-stage
                   -DSBIN=${CMAKE_INSTALL_FULL_SBINDIR}
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_install.cmake)
endif()
