# What `cmake --install build --prefix P` puts under P:
#
#   include/qxfldr_comm/                 qxfldr_comm.h and the runtime headers below
#   lib/libqxfldr_comm.so.1.0.0          the library, its soname link .so.1 and the .so link
#   lib/cmake/qxfldr_comm/               find_package(qxfldr_comm): config, version, targets
#   lib/pkgconfig/qxfldr_comm.pc         pkg-config --cflags --libs qxfldr_comm
#   bin/qxfldr                           the reference loader
#   share/man/man1/qxfldr.1.gz           its manual page
#
# (lib is lib/<multiarch> when configured with the prefix /usr on Debian.)
# The headers get a directory of their own because the runtime's names
# (qxmem.h, qxos.h, ...) are too general for the include directory itself;
# callers still write #include <qxfldr_comm.h>. Tests, benchmarks and
# examples are not installed.
include(CMakePackageConfigHelpers)

# The public header and the runtime headers whose records, type codes and
# services its declarations use: environment and allocator (qxmem), locks,
# semaphores, events and files (qxos), batch containers (qxdta) and their
# text casts with the interval qualifier (qxbcast), hexadecimal and date-time
# values (qxcalc), character sets (qxcvt). Every QX_EXPORT declaration in
# them is in cmake/qxfldr_comm.symbols and nothing else is.
set(QX_INSTALLED_HEADERS
  ${CMAKE_SOURCE_DIR}/include/qxfldr_comm.h
  ${CMAKE_SOURCE_DIR}/runtime/qxexport.h
  ${CMAKE_SOURCE_DIR}/runtime/qxmem.h
  ${CMAKE_SOURCE_DIR}/runtime/qxos.h
  ${CMAKE_SOURCE_DIR}/runtime/qxdta.h
  ${CMAKE_SOURCE_DIR}/runtime/qxbcast.h
  ${CMAKE_SOURCE_DIR}/runtime/qxcalc.h
  ${CMAKE_SOURCE_DIR}/runtime/qxcvt.h)
set(QX_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/qxfldr_comm)
set(QX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qxfldr_comm)

install(FILES ${QX_INSTALLED_HEADERS} DESTINATION ${QX_INCLUDE_SUBDIR})
# The exported target's include directory is the INSTALL_INTERFACE one the
# top-level CMakeLists.txt gives qxfldr_comm.
install(TARGETS qxfldr_comm EXPORT qxfldr_comm-targets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# ---- qxfldr: finds the library through a relative run path unless the
# library goes to a directory the dynamic linker searches anyway (a /usr
# install, the Debian package).
list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" qx_libdir_is_system)
if(qx_libdir_is_system EQUAL -1)
  file(RELATIVE_PATH qx_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(qxfldr PROPERTIES INSTALL_RPATH "$ORIGIN/${qx_bin_to_lib}")
endif()
install(TARGETS qxfldr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- CMake package: qxfldr_comm::qxfldr_comm, relocatable with the prefix.
install(EXPORT qxfldr_comm-targets NAMESPACE qxfldr_comm:: DESTINATION ${QX_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qxfldr_comm-config.cmake.in
                              ${CMAKE_BINARY_DIR}/pkg/qxfldr_comm-config.cmake
                              INSTALL_DESTINATION ${QX_CMAKE_DIR})
# A caller built against 1.x runs with any later 1.y: the soname's promise.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/pkg/qxfldr_comm-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/pkg/qxfldr_comm-config.cmake
              ${CMAKE_BINARY_DIR}/pkg/qxfldr_comm-config-version.cmake
        DESTINATION ${QX_CMAKE_DIR})

# ---- pkg-config: the prefix is found from the .pc file's own place, so the
# file stays right under whatever prefix `cmake --install --prefix` chooses.
set(QX_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QX_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${QX_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QX_PC_TO_PREFIX "${QX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/qxfldr_comm.pc.in ${CMAKE_BINARY_DIR}/pkg/qxfldr_comm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pkg/qxfldr_comm.pc DESTINATION ${QX_PC_DIR})

# ---- Manual page, compressed as Debian keeps them (-n: no name or time
# stamp in the archive, so the package is reproducible).
set(QX_MAN_SOURCE ${CMAKE_SOURCE_DIR}/tools/qxfldr/qxfldr.1)
set(QX_MAN_PAGE ${CMAKE_BINARY_DIR}/man/qxfldr.1.gz)
add_custom_command(OUTPUT ${QX_MAN_PAGE}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                   COMMAND gzip -9n -c ${QX_MAN_SOURCE} > ${QX_MAN_PAGE}
                   DEPENDS ${QX_MAN_SOURCE} VERBATIM)
add_custom_target(qxfldr_man ALL DEPENDS ${QX_MAN_PAGE})
install(FILES ${QX_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
