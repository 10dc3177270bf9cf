# fuzz_profile: profile files through vtrlctl's loader and back; vtrlctl's
# library gets coverage instrumentation here.
if(VTRL_GUI AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(vtrl_ctl PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(fuzz_profile ${CMAKE_CURRENT_LIST_DIR}/fuzz_profile.cpp)
  target_link_libraries(fuzz_profile PRIVATE vtrl_ctl)
  target_compile_options(fuzz_profile PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_profile PRIVATE -fsanitize=fuzzer)
endif()
