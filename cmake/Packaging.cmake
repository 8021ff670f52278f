# `cpack` (or the `package` target): what `cmake --install` puts in place, as a Debian package
# for the host build and a zip for the Windows build (the DLL, its import library and .def,
# the headers, nuvexctl.exe and the documentation).
set(CPACK_PACKAGE_NAME nuvexctrl)
set(CPACK_PACKAGE_VENDOR "Nuvexctrl")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control library and administrator's tool of the Nuvex document-protection drivers")
set(CPACK_PACKAGE_CONTACT "Nuvexctrl maintainers <nuvexctrl@localhost>")
# Binaries without their debugging information (the build tree keeps it).
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # nuvexctrl_1.0.0_amd64.deb (i386 for the -m32 build): the architecture of what was built,
  # not of the machine building it.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
include(CPack)
