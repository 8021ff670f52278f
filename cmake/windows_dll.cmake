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

# The routine symbols that the module-definition file exports (the name before "==", or the
# target of an alias), as "Name@Bytes".
function(nuvex_def_routines def_file out_var)
  file(STRINGS ${def_file} lines REGEX "==")
  set(routines "")
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*([A-Za-z0-9_]+@[0-9]+)[ \t]*=[ \t]*([A-Za-z0-9_]+@[0-9]+)[ \t]*==")
      list(APPEND routines ${CMAKE_MATCH_2})
    elseif(line MATCHES "^[ \t]*([A-Za-z0-9_]+@[0-9]+)[ \t]*==")
      list(APPEND routines ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES routines)
  set(${out_var} ${routines} PARENT_SCOPE)
endfunction()
include(${CMAKE_SOURCE_DIR}/cmake/windows_pending_exports.cmake)
