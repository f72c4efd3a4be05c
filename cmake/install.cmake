# Installation and packaging: the libraries, the public headers, the vexor tool and its man
# page under the prefix; vexor.pc for pkg-config and a CMake package, so a host finds the
# library with `pkg-config vexor` or `find_package(vexor)` (targets vexor::vexor,
# vexor::csp and vexor::xml); `cpack -G DEB` makes a Debian package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(vexorcsp PROPERTIES EXPORT_NAME csp)
set_target_properties(vexorxml PROPERTIES EXPORT_NAME xml)
# Installed programs and libraries find each other beside themselves (libvexor.so also
# loads libvexorxml.so from its own folder).
set_target_properties(vexor vexorcsp vexorxml PROPERTIES INSTALL_RPATH "$ORIGIN")
if(TARGET vexor-tool)
  set_target_properties(vexor-tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

install(TARGETS vexor vexorcsp vexorxml EXPORT vexorTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexor DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vexorTargets NAMESPACE vexor:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/vexorConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/package/vexorConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vexorConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/vexorConfig.cmake ${CMAKE_BINARY_DIR}/package/vexorConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexor)
# The .pc finds its prefix from where it lies, so the tree (or the .deb, installed under
# /usr) can live under any prefix.
string(REGEX MATCHALL "[^/]+" pc_levels "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
set(VEXOR_PC_PREFIX "\${pcfiledir}")
foreach(level IN LISTS pc_levels)
  string(APPEND VEXOR_PC_PREFIX "/..")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/vexor.pc.in ${CMAKE_BINARY_DIR}/package/vexor.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vexor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vexor-tool)
  install(TARGETS vexor-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The man page is the tool's own help.
  find_program(HELP2MAN help2man)
  if(HELP2MAN AND NOT VEXOR_SANITIZE AND NOT VEXOR_TSAN AND NOT VEXOR_FUZZ)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/vexor.1
                       COMMAND ${HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
                               --name="GOST signing and encryption" -o ${CMAKE_BINARY_DIR}/package/vexor.1
                               $<TARGET_FILE:vexor-tool>
                       DEPENDS vexor-tool vexor)
    add_custom_target(vexor-man ALL DEPENDS ${CMAKE_BINARY_DIR}/package/vexor.1)
    install(FILES ${CMAKE_BINARY_DIR}/package/vexor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

set(CPACK_PACKAGE_NAME vexor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vexor maintainers <vexor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GOST signing and encryption library (CMS, \"141\" and XML formats)")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time rather than linked, so the shared-library scan cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libengine-gost-openssl, libcurl4")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
