# Driver timing programs; run by hand (see the notes), never by ctest.
foreach(name serial_idle serial_throughput)
  add_executable(bench_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(bench_${name} PRIVATE vtrl_serial Threads::Threads)
  # The tests' pseudo-terminal (tests/support/posix_ports.h).
  target_include_directories(bench_${name} PRIVATE ${PROJECT_SOURCE_DIR})
endforeach()
