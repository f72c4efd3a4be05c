# Installation and packaging.
#
# `cmake --install` puts the libraries (versioned sonames with development symlinks), the
# public headers, vexor.pc, a CMake package (find_package(vexor): vexor::vexor, vexor::csp,
# vexor::xml), the vexor tool, its man pages and its bash completion under the prefix, in the
# multiarch library folder GNUInstallDirs picks. Three components, one Debian package each
# (`cpack` in the build folder; tests/package checks them):
#   runtime  libvexor1     libvexor.so.1, libvexorcsp.so.1, libvexorxml.so.1
#   dev      libvexor-dev  the headers, the .so symlinks, vexor.pc, the CMake package
#   tool     vexor         the vexor tool, vexor(1), vexor.ini(5), the bash completion
# Binaries are packaged stripped; their debug symbols go to -dbgsym packages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEXOR_SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(vexor vexorcsp vexorxml PROPERTIES
                      VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
                      SOVERSION ${VEXOR_SOVERSION})
set_target_properties(vexorcsp PROPERTIES EXPORT_NAME csp)
set_target_properties(vexorxml PROPERTIES EXPORT_NAME xml)
# Installed programs and libraries find each other beside themselves (libvexor.so.1 also
# loads libvexorxml.so.1 from its own folder), so the tree works under any prefix.
# The libraries carry that path in the build tree too (they are all in its lib/): CMake then
# has nothing to edit at install, which it would make room for by padding the build tree's
# path with empty entries, and the loader reads an empty entry as the current directory.
set_target_properties(vexor vexorcsp vexorxml PROPERTIES INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)
if(TARGET vexor-tool)
  # Its second entry is the build tree's lib/ beside bin/; installed, it is only reached for a
  # library the first one does not hold.
  set_target_properties(vexor-tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN/../lib"
                                              BUILD_WITH_INSTALL_RPATH ON)
endif()

install(TARGETS vexor vexorcsp vexorxml EXPORT vexorTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexor DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT vexorTargets NAMESPACE vexor:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/vexorConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/package/vexorConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vexorConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/vexorConfig.cmake ${CMAKE_BINARY_DIR}/package/vexorConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor COMPONENT dev)
# The .pc finds its prefix from where it lies, so the tree (or the .deb, installed under
# /usr) can live under any prefix.
string(REGEX MATCHALL "[^/]+" pc_levels "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
set(VEXOR_PC_PREFIX "\${pcfiledir}")
foreach(level IN LISTS pc_levels)
  string(APPEND VEXOR_PC_PREFIX "/..")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/vexor.pc.in ${CMAKE_BINARY_DIR}/package/vexor.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vexor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Package names, and the documentation folder each package owns.
set(VEXOR_RUNTIME_PACKAGE libvexor${VEXOR_SOVERSION})
set(VEXOR_DEV_PACKAGE libvexor-dev)
set(VEXOR_TOOL_PACKAGE vexor)

# Man pages, written by hand (man/), installed gzipped as Debian wants them; the changelog
# likewise. gzip -n keeps the output the same from build to build.
set(VEXOR_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/package/changelog.gz)
add_custom_command(OUTPUT ${VEXOR_CHANGELOG_GZ}
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/package/changelog > ${VEXOR_CHANGELOG_GZ}
                   DEPENDS ${PROJECT_SOURCE_DIR}/cmake/package/changelog)
set(VEXOR_DOC_OUTPUTS ${VEXOR_CHANGELOG_GZ})
foreach(page vexor.1 vexor.ini.5)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/${page}.gz
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/package/${page}.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/man/${page})
  list(APPEND VEXOR_DOC_OUTPUTS ${CMAKE_BINARY_DIR}/package/${page}.gz)
endforeach()
add_custom_target(vexor-docs ALL DEPENDS ${VEXOR_DOC_OUTPUTS})

foreach(component runtime dev tool)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/copyright ${VEXOR_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VEXOR_${upper}_PACKAGE} COMPONENT ${component})
endforeach()

if(TARGET vexor-tool)
  install(TARGETS vexor-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${CMAKE_BINARY_DIR}/package/vexor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES ${CMAKE_BINARY_DIR}/package/vexor.ini.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/vexor
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT tool)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/json.md)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/json.md
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VEXOR_TOOL_PACKAGE} COMPONENT tool)
  endif()
endif()

# Debian packages. The variables are written into CPackConfig.cmake as they are (quotes
# included), so the descriptions keep their quotes around "141".
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vexor")
set(CPACK_PACKAGE_CONTACT "vexor maintainers <vexor-maintainers@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPack strips the binaries itself once it has copied their debug symbols out (the files must
# reach it unstripped, so CPACK_STRIP_FILES stays off).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/vexor")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links libvexorcsp.so.1 from the runtime package, which is not installed while
# the packages are built: dpkg-shlibdeps finds it in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(VEXOR_EXACT "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VEXOR_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs for the libraries (only the runtime package has any), and the loader's cache is
# rebuilt through the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/package/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The GOST engine and libcurl are loaded at run time rather than linked, so the
# shared-library scan cannot see them.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libengine-gost-openssl, libcurl4")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "GOST signing and encryption library (CMS, \"141\" and XML formats)
vexor signs, verifies, encrypts and decrypts documents with the Russian GOST
algorithms (GOST R 34.10-2001, GOST R 34.11-94, GOST 28147-89): PKCS#7/CMS
messages, the compact binary \"141\" format and XML (XML-DSig, XML-Enc). It also
finds and checks certificates (chains, revocation lists) and keeps certificate
stores.
.
This package holds the shared libraries: libvexor.so.1 (the operation object
hosts create), libvexorcsp.so.1 (the certificate, store, key and message
services over OpenSSL 3 and its GOST engine) and libvexorxml.so.1 (XML
documents). Licensed under the Apache License 2.0.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VEXOR_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VEXOR_RUNTIME_PACKAGE} ${VEXOR_EXACT}")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "GOST signing and encryption library - development files
vexor signs, verifies, encrypts and decrypts documents with the Russian GOST
algorithms: PKCS#7/CMS messages, the compact binary \"141\" format and XML.
.
This package holds what a host builds against: the headers, the unversioned
library symlinks, vexor.pc for pkg-config and a CMake package
(find_package(vexor): vexor::vexor, vexor::csp, vexor::xml). Licensed under
the Apache License 2.0.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${VEXOR_TOOL_PACKAGE})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${VEXOR_RUNTIME_PACKAGE} ${VEXOR_EXACT}")
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "GOST signing and encryption from the command line (CMS, \"141\", XML)
The vexor tool signs and verifies, encrypts and decrypts documents with the
Russian GOST algorithms through the vexor library: PKCS#7/CMS messages, the
compact binary \"141\" format and XML. It finds, checks, imports and lists
certificates, updates revocation lists and administers the certificate stores
and key containers.
.
It reads standard input and writes standard output where a file is named \"-\",
and its exit status is the library's result code (64 for a command line it
does not accept). Includes the manual pages vexor(1) and vexor.ini(5) and the
bash completion. Licensed under the Apache License 2.0.")
include(CPack)
