# Installation and the Debian package.
#
# `cmake --install` installs the helper, its manual page and its documents
# (the licence, the client guide and the examples) and nothing else: the
# programs under tools/, the tests and the benchmarks serve development only.
# `cpack -G DEB` (scripts/package) packages that same installation and
# finishes it as Debian asks: the manual page and the larger documents
# compressed, the licence as the copyright file, and a changelog
# (cmake/debian_package_docs.cmake).
include(GNUInstallDirs)

set(harlo_package_name harlo-companion-helper)
set(harlo_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${harlo_package_name})

set(harlo_directory_permissions
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Directories are created 0755 whatever the umask of whoever installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${harlo_directory_permissions})

install(TARGETS HarloCompanionHelper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/HarloCompanionHelper.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/doc/CLIENTS.md
  DESTINATION ${harlo_doc_dir})
# The examples are programs people run: they keep their execute permission.
install(FILES ${PROJECT_SOURCE_DIR}/examples/README.md DESTINATION ${harlo_doc_dir}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/harlo_parent.py
  ${PROJECT_SOURCE_DIR}/examples/harlo_client.py
  DESTINATION ${harlo_doc_dir}/examples)

# Who answers for the package. Debian requires a name and an e-mail address;
# the default address is a placeholder until the project has one.
set(HARLO_PACKAGE_MAINTAINER
  "The HarloCompanionHelper developers <harlo-companion-helper@example.org>"
  CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${harlo_package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The HarloCompanionHelper developers")
set(CPACK_PACKAGE_CONTACT "${HARLO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "helper linking a parent application to a Bluetooth RFCOMM client")
# CPack indents the paragraphs and marks the blank line as Debian wants.
set(CPACK_PACKAGE_DESCRIPTION [[
HarloCompanionHelper is started by a parent application to reach one
Bluetooth client device. In bridge mode it publishes an SDP record for an
RFCOMM server channel through BlueZ, accepts one client at a time (a newer
client replaces an older one), answers the client's hello itself, and passes
text lines both ways: newline-delimited UTF-8 with the client, and one JSON
message per line with the parent on standard input and output.

BlueZ 5 (bluetoothd) must be running on the system bus, and the client
device must be paired and trusted.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${harlo_directory_permissions})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed by dpkg-shlibdeps (package dpkg-dev) from the shared
# libraries the helper links, plus libsystemd: bridge mode opens it at run time
# (dlopen), out of dpkg-shlibdeps' sight. 243 is the first version with every
# function the helper calls (sd_event_source_disable_unref is the newest).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsystemd0 (>= 243)")
# The helper starts without bluetoothd (it reports the failure), so BlueZ is
# recommended rather than required.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Read by cmake/debian_package_docs.cmake, which runs inside cpack once the
# files are staged.
set(CPACK_HARLO_PROGRAM "${CMAKE_INSTALL_BINDIR}/HarloCompanionHelper")
set(CPACK_HARLO_STRIP "${CMAKE_STRIP}")
set(CPACK_HARLO_MAN_PAGE "${CMAKE_INSTALL_MANDIR}/man1/HarloCompanionHelper.1")
set(CPACK_HARLO_DOC_DIR "${harlo_doc_dir}")
set(CPACK_HARLO_COPYRIGHT_FILE "${PROJECT_SOURCE_DIR}/doc/debian/copyright")
set(CPACK_HARLO_CHANGELOG_FILE "${PROJECT_BINARY_DIR}/doc/debian/changelog")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/debian_package_docs.cmake")

# The changelog of a package built from this tree: one entry for the
# project's version, dated now (or at SOURCE_DATE_EPOCH, for reproducible
# builds).
string(TIMESTAMP HARLO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/doc/debian/changelog.in ${CPACK_HARLO_CHANGELOG_FILE} @ONLY)

# `cpack --config CPackSourceConfig.cmake` (the package_source target) archives
# the sources only: no build trees, no repository metadata.
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/[.]git/" "/__pycache__/")

include(CPack)
