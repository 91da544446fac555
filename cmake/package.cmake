# Packages made with CPack from the install rules' components. On Linux, `cpack -G DEB` in a
# tree configured with the "package" preset (prefix /usr) gives three Debian packages, split
# as Debian splits a library: tarnpak (the programs, their manual pages and bash completion),
# libtarnpak-engine1 (the shared library) and libtarnpak-engine-dev (headers, the unversioned
# link, the CMake package and the pkg-config file). The Windows build gives a zip of the
# programs, the DLL and the README (`cpack -G ZIP`).
set(CPACK_PACKAGE_NAME tarnpak)
set(CPACK_PACKAGE_VENDOR "Tarnpak")
# Who answers for the packages: their Maintainer field, the changelog's signature and the
# copyright file's contact.
set(TARNPAK_MAINTAINER "Tarnpak developers <tarnpak@tarnpak.org>" CACHE STRING
  "the packages' maintainer, as 'Name <address>'")
set(CPACK_PACKAGE_CONTACT "${TARNPAK_MAINTAINER}")
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
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME tarnpak-${PROJECT_VERSION}-windows-x86)
  else()
    set(CPACK_PACKAGE_FILE_NAME tarnpak-${PROJECT_VERSION}-windows-x86_64)
  endif()
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
  # Each package's copyright file (no licence has been chosen yet, and it says so) and its
  # changelog, compressed as Debian ships it (gzip -9n: the same bytes every build).
  set(deb_doc ${PROJECT_BINARY_DIR}/deb-doc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${deb_doc}/copyright @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${deb_doc}/changelog @ONLY)
  add_custom_command(OUTPUT ${deb_doc}/changelog.gz
    COMMAND gzip -9n -c ${deb_doc}/changelog > ${deb_doc}/changelog.gz
    DEPENDS ${deb_doc}/changelog VERBATIM)
  add_custom_target(deb_changelog ALL DEPENDS ${deb_doc}/changelog.gz)
  foreach(component TOOLS RUNTIME DEV)
    string(TOLOWER ${component} lower)
    install(FILES ${deb_doc}/copyright ${deb_doc}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${component}_PACKAGE_NAME}
      COMPONENT ${lower})
  endforeach()
  # The library's package runs ldconfig through dpkg's trigger.
  file(WRITE ${PROJECT_BINARY_DIR}/deb-runtime/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb-runtime/triggers)
endif()
include(CPack)
