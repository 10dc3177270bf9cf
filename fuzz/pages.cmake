# fuzz_pages: received bytes through delivery to the page handlers and the
# texts they show. Needs the Qt parts (configure the fuzz build with VTRL_GUI
# on); the wizard's own libraries get coverage instrumentation here.
if(VTRL_GUI AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(lib vtrl_pages vtrl_shell vtrl_protocol vtrl_platform)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
  add_executable(fuzz_pages ${CMAKE_CURRENT_LIST_DIR}/fuzz_pages.cpp)
  target_link_libraries(fuzz_pages PRIVATE vtrl_wizard)
  target_compile_options(fuzz_pages PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_pages PRIVATE -fsanitize=fuzzer)
endif()
