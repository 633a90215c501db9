# The Debian package: `cpack -G DEB` in a build folder makes
# pelagon2_<version>_<arch>.deb from the install rules. The host and the
# libraries it loads from its own folder go to /usr/libexec/pelagon2/: only
# browsers start the host (their manifests name that absolute path), and no
# other program links the libraries, so they stay off the linker's path. The
# registration script is /usr/bin/pelagon2-install-host, which finds the host
# there by itself.
set(packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(doc_dir share/doc/${PROJECT_NAME})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${packaging_dir}/copyright DESTINATION ${doc_dir})
# Debian keeps a package's change log compressed, without a name or time in
# the gzip header, so that two builds give the same bytes.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${packaging_dir}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
find_program(PELAGON2_GZIP gzip)
if(PELAGON2_GZIP)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${PELAGON2_GZIP} -9nf -k ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
  add_custom_target(pelagon2_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc_dir})
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "pelagon2 developers")
set(CPACK_PACKAGE_CONTACT "pelagon2 developers <pelagon2@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop automation host for browser extensions")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/;/node_modules/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The long text; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "pelagon2 is a native-messaging host: a browser extension starts it and asks,
in length-framed JSON over standard input and output, for screen captures,
image and text search on the desktop, pointer and keyboard input, window
geometry and file reads. It works on X11 and on Wayland sessions.
.
pelagon2-install-host registers the host with Chromium, Chrome, Edge, Brave
and Firefox for the extension ids it is given.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Read by the recognition library at run time, so no library link names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tesseract-ocr-eng")
# Folders CPack makes itself get the modes Debian expects.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
