# What `cmake --install` puts in place, and the packages CPack makes of it: a
# Debian package that runs tavi as a systemd service, and a zip for Windows.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME tavi)
set(CPACK_PACKAGE_VENDOR "tavi developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small single-threaded HTTP/1.1 static file server")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
    # A zip is unpacked and run where it lies: program and README side by side.
    install(TARGETS tavi RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME tavi-${PROJECT_VERSION}-win64)
else()
    install(TARGETS tavi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES docs/tavi.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # The README shows it by this relative path.
    install(FILES docs/listing.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

    # The service writes to /srv, outside any prefix: only the package takes
    # it, or an install that names the component.
    install(FILES packaging/tavi.service DESTINATION lib/systemd/system
            COMPONENT service EXCLUDE_FROM_ALL)
    install(DIRECTORY packaging/site/ DESTINATION /srv/tavi
            COMPONENT service EXCLUDE_FROM_ALL)

    set(CPACK_GENERATOR DEB)
    set(CPACK_INSTALL_CMAKE_PROJECTS
        "${CMAKE_BINARY_DIR};tavi;ALL;/" "${CMAKE_BINARY_DIR};tavi;service;/")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tavi developers")
    set(CPACK_DEBIAN_PACKAGE_SECTION web)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Serves the subfolders of /srv/tavi as sites, chosen by the Host header. The
package holds a systemd unit, tavi.service, which runs the server in its --web
mode on port 80 as a dynamic user once it is enabled; /srv/tavi/a is an example
site.")
    # The program is linked statically: it depends on no shared library.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${PROJECT_SOURCE_DIR}/packaging/postinst
        ${PROJECT_SOURCE_DIR}/packaging/prerm
        ${PROJECT_SOURCE_DIR}/packaging/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
