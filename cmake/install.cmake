# Installation: the programs, the engine's shared library with its public headers, a CMake
# package (find_package(TarnpakEngine CONFIG) gives TarnpakEngine::engine), a pkg-config
# file (tarnpak-engine) and the manual pages, in the GNU install directories.
include(CMakePackageConfigHelpers)

set(TARNPAK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TarnpakEngine)

install(TARGETS Tarnpak grp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS engine EXPORT TarnpakEngineTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/engine/include/tarnpak
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The installed programs find the library beside them in the prefix.
set_target_properties(Tarnpak grp PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(EXPORT TarnpakEngineTargets NAMESPACE TarnpakEngine:: DESTINATION ${TARNPAK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarnpakEngineConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarnpakEngineConfig.cmake INSTALL_DESTINATION ${TARNPAK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnpakEngineConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarnpakEngineConfig.cmake
  ${PROJECT_BINARY_DIR}/TarnpakEngineConfigVersion.cmake DESTINATION ${TARNPAK_CMAKE_DIR})

# The pkg-config file finds its prefix from where it lies, so that any --prefix given at
# install time holds.
file(RELATIVE_PATH TARNPAK_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarnpak-engine.pc.in
  ${PROJECT_BINARY_DIR}/tarnpak-engine.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnpak-engine.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${PROJECT_SOURCE_DIR}/man/Tarnpak.1.in ${PROJECT_BINARY_DIR}/Tarnpak.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/Tarnpak.1 ${PROJECT_SOURCE_DIR}/man/grp.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
