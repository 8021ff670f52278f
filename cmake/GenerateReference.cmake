# Writes the tool's manual page and shell completion scripts into OUT by running the tool
# itself, so they describe exactly the verbs and options its --help describes.
# cmake -DTOOL=path/to/nuvexctl -DOUT=folder -P GenerateReference.cmake
# In a sanitizer build the tool carries the sanitizer runtime: a leak report at its exit is the
# tests' business, not a reason to fail the build.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
foreach(item "man;nuvexctl.1" "completion;bash;nuvexctl.bash" "completion;zsh;_nuvexctl"
             "completion;powershell;nuvexctl.ps1")
  list(POP_BACK item file)
  execute_process(COMMAND ${TOOL} ${item} OUTPUT_FILE ${OUT}/${file}.new RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${item} failed (${status})")
  endif()
  file(RENAME ${OUT}/${file}.new ${OUT}/${file})
endforeach()
