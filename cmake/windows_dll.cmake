# Nuvexctrl.dll: the Windows form of the library, made from the same objects as the host build.
#
# - The export table comes from include/nuvexctrl.def and holds exactly the stdcall-decorated
#   names; the import library written beside the DLL (lib/libNuvexctrl.dll.a) resolves the
#   header's __stdcall declarations (__imp__Name@N) to those names.
# - The language runtime (libgcc, libstdc++, winpthread) is linked in statically, so the DLL
#   needs nothing beside it but system DLLs.
set_target_properties(nuvexctrl PROPERTIES OUTPUT_NAME Nuvexctrl PREFIX "" IMPORT_PREFIX "lib"
                      IMPORT_SUFFIX ".dll.a")
target_sources(nuvexctrl PRIVATE ${CMAKE_SOURCE_DIR}/include/nuvexctrl.def)
target_link_options(nuvexctrl PRIVATE -static -static-libgcc -static-libstdc++
                    -Wl,--exclude-all-symbols)
target_link_libraries(nuvexctrl PRIVATE ole32 shlwapi advapi32 user32)

# The version resource (file and product version from the project's version), which
# Explorer's properties and GetFileVersionInfo show.
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/cmake/nuvexctrl_version.rc.in
               ${CMAKE_BINARY_DIR}/nuvexctrl_version.rc @ONLY)
target_sources(nuvexctrl PRIVATE ${CMAKE_BINARY_DIR}/nuvexctrl_version.rc)
