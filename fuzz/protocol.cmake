# libFuzzer targets for the receiver with delivery and for the parameter block
# decoder. The protocol sources are compiled into each target with coverage
# instrumentation rather than linked from vtrl_protocol, which stays plain.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  file(GLOB vtrl_fuzz_protocol_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/protocol/*.cpp)
  foreach(target fuzz_receiver fuzz_paramblock fuzz_ledger)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp ${vtrl_fuzz_protocol_sources})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  endforeach()
else()
  message(STATUS "fuzz targets need clang; skipped with ${CMAKE_CXX_COMPILER_ID}")
endif()
