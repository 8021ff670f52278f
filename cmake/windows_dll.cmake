# Nuvexctrl.dll: the Windows form of the library, made from the same objects as the host build.
#
# - The export table comes from include/nuvexctrl.def and holds exactly the stdcall-decorated
#   names; the import library written beside the DLL (lib/libNuvexctrl.dll.a) resolves the
#   header's __stdcall declarations (__imp__Name@N) to those names.
# - The language runtime (libgcc, libstdc++) is linked in statically, so the DLL needs nothing
#   beside it but system DLLs. The library code is built without exceptions (none may cross
#   the C boundary, and the code throws none): that keeps the runtime's exception support and,
#   with it, its thread library out of the DLL. Both register themselves with objects of the
#   loading thread at every load and leave them behind at every unload (docs/windows.md). The
#   library takes its locks, condition variables and threads from the system
#   (src/platform/threads.h) and its guards for local statics from
#   src/platform/win32/static_guards.cpp.
# - The 32-bit Windows convention promises a callee only a 4-byte-aligned stack: the library
#   code assumes no more (-mincoming-stack-boundary=2), so the compiler realigns the stack in
#   every routine that keeps wider-aligned data there, whoever called it.
target_compile_options(nuvexctrl_objects PRIVATE -mincoming-stack-boundary=2 -fno-exceptions)
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
