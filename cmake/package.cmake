# Packages made with CPack from the install rules' components. On Linux, `cpack -G DEB` in a
# tree configured with the "package" preset (prefix /usr) gives three Debian packages, split
# as Debian splits a library: tarnpak (the programs, their manual pages and bash completion),
# libtarnpak-engine1 (the shared library) and libtarnpak-engine-dev (headers, the unversioned
# link, the CMake package and the pkg-config file). The Windows build gives a zip of the
# programs, the DLL and the README (`cpack -G ZIP`).
set(CPACK_PACKAGE_NAME tarnpak)
set(CPACK_PACKAGE_VENDOR "Tarnpak")
set(CPACK_PACKAGE_CONTACT "Tarnpak developers <tarnpak@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs a game directory into one group file (.grp) and back")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  # One folder: bin/ with the programs beside the DLL they load, the README, the manual
  # pages; not the files for building against the library.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};Tarnpak;tools;/"
    "${PROJECT_BINARY_DIR};Tarnpak;runtime;/" "${PROJECT_BINARY_DIR};Tarnpak;docs;/")
  set(CPACK_PACKAGE_FILE_NAME tarnpak-${PROJECT_VERSION}-windows-x86_64)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT docs)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL tools runtime dev)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The programs' own library is found in the build tree; the dependency on its package comes
  # from the component's dependency on "runtime".
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/engine)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarnpak)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarnpak-engine1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarnpak-engine-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
  set(CPACK_COMPONENT_DEV_DEPENDS runtime)
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION "group file tools Tarnpak and grp
Tarnpak packs a game directory into one group file (.grp) and unpacks it;
grp lists, verifies, extracts, edits, compares and mounts group files.")
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Tarnpak engine library
The group file manager of the Tarnpak engine, with its text utilities,
pooled lists and debug console.")
  set(CPACK_COMPONENT_DEV_DESCRIPTION "Tarnpak engine library - development files
Headers, CMake package and pkg-config file for building programs
against the Tarnpak engine library.")
  set(CPACK_STRIP_FILES ON)
  # The library's package runs ldconfig through dpkg's trigger.
  file(WRITE ${PROJECT_BINARY_DIR}/deb-runtime/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb-runtime/triggers)
endif()
include(CPack)
