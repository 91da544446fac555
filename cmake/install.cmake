# Installation: the programs, the engine's shared library with its public headers, a CMake
# package (find_package(TarnpakEngine CONFIG) gives TarnpakEngine::engine), a pkg-config
# file (tarnpak-engine), the manual pages and the bash completion, in the GNU install
# directories. Each rule belongs to a component, the parts a package splits into: "tools"
# (the programs, their pages and completion), "runtime" (the shared library) and "dev" (what
# a program building against the library needs).
include(CMakePackageConfigHelpers)

# The programs find the library beside them in the prefix; a package for /usr, where the
# system looks anyway, turns this off.
option(TARNPAK_INSTALL_RPATH "installed programs look for the library in the prefix" ON)

set(TARNPAK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TarnpakEngine)

install(TARGETS Tarnpak grp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS engine EXPORT TarnpakEngineTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/engine/include/tarnpak
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(TARNPAK_INSTALL_RPATH)
  set_target_properties(Tarnpak grp PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

install(EXPORT TarnpakEngineTargets NAMESPACE TarnpakEngine:: DESTINATION ${TARNPAK_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarnpakEngineConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarnpakEngineConfig.cmake INSTALL_DESTINATION ${TARNPAK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnpakEngineConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarnpakEngineConfig.cmake
  ${PROJECT_BINARY_DIR}/TarnpakEngineConfigVersion.cmake DESTINATION ${TARNPAK_CMAKE_DIR}
  COMPONENT dev)

# The pkg-config file finds its prefix from where it lies, so that any --prefix given at
# install time holds.
file(RELATIVE_PATH TARNPAK_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarnpak-engine.pc.in
  ${PROJECT_BINARY_DIR}/tarnpak-engine.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnpak-engine.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

configure_file(${PROJECT_SOURCE_DIR}/man/Tarnpak.1.in ${PROJECT_BINARY_DIR}/Tarnpak.1 @ONLY)
# Distributions ship manual pages compressed (gzip -9n: no name or time, the same bytes
# every build).
option(TARNPAK_COMPRESS_MAN "install the manual pages gzip-compressed" OFF)
set(man_pages ${PROJECT_BINARY_DIR}/Tarnpak.1 ${PROJECT_SOURCE_DIR}/man/grp.1)
if(TARNPAK_COMPRESS_MAN)
  set(compressed)
  foreach(page ${man_pages})
    get_filename_component(leaf ${page} NAME)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${leaf}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND gzip -9n -c ${page} > ${PROJECT_BINARY_DIR}/man/${leaf}.gz
      DEPENDS ${page} VERBATIM)
    list(APPEND compressed ${PROJECT_BINARY_DIR}/man/${leaf}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${compressed})
  set(man_pages ${compressed})
endif()
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# The bash completion goes where bash-completion looks for it: its pkg-config variable
# completionsdir, taken relative to bash-completion's prefix and placed below ours (the
# usual share/bash-completion/completions where bash-completion is not installed).
if(NOT WIN32)
  set(TARNPAK_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  find_program(PKG_CONFIG_EXECUTABLE pkg-config)
  if(PKG_CONFIG_EXECUTABLE)
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=/PREFIX
      --define-variable=datadir=/PREFIX/${CMAKE_INSTALL_DATADIR}
      --variable=completionsdir bash-completion
      OUTPUT_VARIABLE completions RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT failed AND completions MATCHES "^/PREFIX/(.+)$")
      set(TARNPAK_COMPLETION_DIR ${CMAKE_MATCH_1})
    endif()
  endif()
  foreach(command Tarnpak grp)
    install(FILES ${PROJECT_SOURCE_DIR}/completion/tarnpak.bash
      DESTINATION ${TARNPAK_COMPLETION_DIR} RENAME ${command} COMPONENT tools)
  endforeach()
endif()

include(${PROJECT_SOURCE_DIR}/cmake/package.cmake)
