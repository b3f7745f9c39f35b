# `cmake --build <dir> --target package` makes the Debian package: router, tools, manual pages,
# unit, schema and example configuration, with maintainer scripts that create the norvale system
# user and the directories the router writes. Build it from a Release tree without sanitizers.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/rt_server.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME rt_server.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rt-server)
set(CPACK_PACKAGE_VENDOR "Norvale")
set(CPACK_PACKAGE_CONTACT "Norvale router maintainers <router@norvale.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Norvale backup and recovery system: router server and operator tools")
# The unit names the router by its installed path, so the package uses the configured prefix:
# configure with -DCMAKE_INSTALL_PREFIX=/usr for a Debian layout.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# useradd and groupadd come from passwd, which every Debian system has.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
