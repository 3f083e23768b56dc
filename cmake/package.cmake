# What `cmake --install` puts in place, and the packages CPack makes of it: a
# Debian package that runs tavi as a systemd service, a tarball of the static
# program, and a zip for Windows.
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
    include(CPack)
    return()
endif()

# Debian's checker wants the page and the changelog compressed at gzip's
# best, without a name or time in the header, so that every build gives the
# same bytes.
find_program(TAVI_GZIP_PROGRAM gzip REQUIRED)
set(TAVI_PACKING ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${TAVI_PACKING})
foreach(pair "docs/tavi.1;tavi.1.gz" "packaging/changelog;changelog.gz")
    list(GET pair 0 from)
    list(GET pair 1 into)
    execute_process(COMMAND ${TAVI_GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/${from}
                    OUTPUT_FILE ${TAVI_PACKING}/${into} COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${from})
endforeach()
# The package's version is the project's: its changelog must say so first.
file(STRINGS packaging/changelog TAVI_CHANGES LIMIT_COUNT 1)
if(NOT TAVI_CHANGES MATCHES "^tavi \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with '${TAVI_CHANGES}': "
                        "its first entry must be that of tavi (${PROJECT_VERSION})")
endif()

install(TARGETS tavi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TAVI_PACKING}/tavi.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright ${TAVI_PACKING}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README shows it by this relative path.
install(FILES docs/listing.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

if(TAVI_STATIC)
    # One folder to unpack anywhere and run from: the program, its page (man
    # ./tavi.1) and the README.
    install(TARGETS tavi RUNTIME DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)
    install(FILES docs/tavi.1 README.md DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)
    set(CPACK_GENERATOR TGZ)
    set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};tavi;tarball;/")
    set(CPACK_PACKAGE_FILE_NAME tavi-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    include(CPack)
    return()
endif()

# The unit and the example site belong to the package alone, or to an install
# that names the component: postinst seeds /var/www/tavi from the example.
install(FILES packaging/tavi.service DESTINATION lib/systemd/system
        COMPONENT service EXCLUDE_FROM_ALL)
install(DIRECTORY packaging/site/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tavi/sites
        COMPONENT service EXCLUDE_FROM_ALL)

# Who answers for the package: whoever builds it for others sets their own.
set(TAVI_MAINTAINER "tavi developers <tavi@example.org>" CACHE STRING
    "The Debian package's Maintainer field, as Name <address>")
set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};tavi;ALL;/" "${CMAKE_BINARY_DIR};tavi;service;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVI_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Serves the subfolders of /var/www/tavi as sites, chosen by the Host
header. The package holds a systemd unit, tavi.service, which runs the
server in its --web mode on port 80 as a dynamic user once it is enabled.
Installing it puts an example site in /var/www/tavi/a where there is no
/var/www/tavi yet.")
# The program takes OpenSSL, nghttp2 and the codings' libraries from Debian's
# shared ones: its Depends are what dpkg-shlibdeps finds it linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
