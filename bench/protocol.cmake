# CRC-32 and receiver throughput.
if(benchmark_FOUND)
  add_executable(bench_protocol ${CMAKE_CURRENT_LIST_DIR}/protocol_throughput.cpp)
  target_link_libraries(bench_protocol PRIVATE vtrl_protocol benchmark::benchmark)
endif()
