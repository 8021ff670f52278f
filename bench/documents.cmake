# Encrypt/decrypt of a large file beside cp and openssl (a measurement, not a test: never run by
# ctest). Host builds only.
if(NOT WIN32)
  add_executable(bench_documents ${CMAKE_CURRENT_LIST_DIR}/documents_bench.cpp)
  target_link_libraries(bench_documents PRIVATE nuvexctrl_static)
endif()
