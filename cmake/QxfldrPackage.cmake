# The Debian package: `cpack -G DEB` in a build directory, or scripts/package
# (a Release build for the prefix /usr, so the library lands in the multiarch
# directory). One package holds what `cmake --install` installs: the library,
# its headers, CMake and pkg-config files, qxfldr and its manual page.
#
# Dependencies come from dpkg-shlibdeps, which reads the libraries each
# installed binary needs (libc, libstdc++, libsqlite3, libpq, and libmariadb
# once the loader links it), so the Depends line follows the link lines.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qxfldr-comm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qxfldr_comm developers <qxfldr-comm@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bulk loader text library and the qxfldr loader")
# The long description; the synopsis is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libqxfldr_comm parses a bulk loader's control files, resolves its data files,\n"
    "cuts rows and fields (CSV, escaped data, multi-byte character sets) and runs\n"
    "the reader side of a parallel load. qxfldr loads data files with it into\n"
    "SQLite or PostgreSQL and exports query results as text.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so packages built against this one depend on it by version;
# with it come postinst and postrm scripts that run ldconfig, since the
# dynamic linker finds the multiarch directory through its cache only.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
include(CPack)
