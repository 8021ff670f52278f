# Installation: the header, the library, the tool, the host driver images, a CMake package
# (find_package(Nuvexctrl) gives the imported target Nuvexctrl::nuvexctrl) and a pkg-config
# file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS nuvexctrl EXPORT NuvexctrlTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/nuvexctrl.h ${CMAKE_SOURCE_DIR}/include/nuvexctrl_results.h
              ${CMAKE_SOURCE_DIR}/include/nuvexctrl_ex.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/include/nuvexctrl.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET nuvexctl)
  install(TARGETS nuvexctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The simulated drivers lie beside the tool, where an install without a driver path looks.
foreach(image Nuvex.sys NuvexACL.sys NuvexMon.sys)
  install(PROGRAMS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${image} DESTINATION ${CMAKE_INSTALL_BINDIR} OPTIONAL)
endforeach()

install(EXPORT NuvexctrlTargets NAMESPACE Nuvexctrl:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Nuvexctrl)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/NuvexctrlConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/NuvexctrlConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Nuvexctrl)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/NuvexctrlConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/NuvexctrlConfig.cmake ${CMAKE_BINARY_DIR}/NuvexctrlConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Nuvexctrl)

# The pkg-config file finds its prefix from where it lies (${pcfiledir}), so an installed tree
# can be moved or installed with `cmake --install --prefix` to any folder.
file(RELATIVE_PATH NUVEX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" NUVEX_PC_TO_PREFIX "${NUVEX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/nuvexctrl.pc.in ${CMAKE_BINARY_DIR}/nuvexctrl.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/nuvexctrl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The documentation: the manuals and references of docs/ (and the JSON schemas of the tool's
# output, when there) in share/doc/nuvexctrl; the manual page and the shell completion
# scripts where man, bash-completion and zsh look for them.
set(NUVEX_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/nuvexctrl)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${NUVEX_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md" PATTERN "*.json")
if(TARGET nuvexctl_reference)
  install(FILES ${NUVEXCTL_REFERENCE_DIR}/nuvexctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${NUVEXCTL_REFERENCE_DIR}/nuvexctl.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME nuvexctl)
  install(FILES ${NUVEXCTL_REFERENCE_DIR}/_nuvexctl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/site-functions)
  install(FILES ${NUVEXCTL_REFERENCE_DIR}/nuvexctl.ps1 DESTINATION ${NUVEX_INSTALL_DOCDIR}/completion)
endif()
