# Installation and packaging: `cmake --install` lays the toolchain out the
# usual way, and CPack builds a Debian package from the same rules.
#
#   <bindir>                       velk_parser, velk_sim
#   <libdir>                       the ASTLib, interpreterLib and parserLib archives
#   <libdir>/velk                  the co-simulation block and the port discovery
#                                  function (shared modules, loaded by path)
#   <includedir>/velk              the libraries' public headers (one folder)
#   <datadir>/velk/annotations/... the system library every program is compiled after
#   <datadir>/velk/examples        the example models and the tutorial steps
#   <mandir>/man1                  velk_parser(1), velk_sim(1)
#   <docdir>                       README, the language guide and the tutorial
#
# The installed compiler finds the system library relative to its own location
# (<bindir>/../<datadir>/velk), so an installation can be moved as a whole.
include(GNUInstallDirs)

set(VELK_INSTALL_PACKAGE_DIR ${CMAKE_INSTALL_DATADIR}/velk)

# The package directory as the compiler sees it from the directory it runs in.
cmake_path(APPEND CMAKE_INSTALL_PREFIX ${CMAKE_INSTALL_BINDIR} OUTPUT_VARIABLE velk_bindir_abs)
cmake_path(APPEND CMAKE_INSTALL_PREFIX ${VELK_INSTALL_PACKAGE_DIR} OUTPUT_VARIABLE velk_pkgdir_abs)
file(RELATIVE_PATH velk_pkgdir_from_bindir ${velk_bindir_abs} ${velk_pkgdir_abs})
target_compile_definitions(parserLib PRIVATE
  VELK_PACKAGE_DIR_FROM_BINDIR="${velk_pkgdir_from_bindir}")

set(velk_programs velk_parser)
if(TARGET velk_sim)
  list(APPEND velk_programs velk_sim)
endif()
install(TARGETS ${velk_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(TARGETS ASTLib interpreterLib parserLib
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS velk_interpreter velk_parameters
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/velk)

# Headers include one another by bare name, so they share one folder.
set(velk_public_headers "")
foreach(library ASTLib interpreterLib parserLib)
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${library}/*.h)
  list(APPEND velk_public_headers ${headers})
endforeach()
install(FILES ${velk_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk)

install(FILES ${PROJECT_SOURCE_DIR}/annotations/system/system.velk
  DESTINATION ${VELK_INSTALL_PACKAGE_DIR}/annotations/system)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${VELK_INSTALL_PACKAGE_DIR}/examples)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/velk_parser.1 ${PROJECT_SOURCE_DIR}/docs/man/velk_sim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/language.md
              ${PROJECT_SOURCE_DIR}/docs/tutorial.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package: `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VENDOR "VELK toolchain")
set(CPACK_PACKAGE_CONTACT "VELK toolchain maintainers <velk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Compiler and simulator for VELK, a language for real-time embedded software models")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_STRIP_FILES ON)
include(CPack)
