# bench_comport_connect: wall and CPU time of one "Set COM Port Selection"
# attempt that closes the held port, against a simulated device (child process).
add_executable(bench_comport_connect ${CMAKE_CURRENT_LIST_DIR}/pages_comport_connect.cpp)
target_link_libraries(bench_comport_connect PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# Not a benchmark: drives the real wizard to the connected COM port page and
# saves a picture of it (run under Xvfb with VTRLCFG_PORTS set).
add_executable(pages_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_screenshot.cpp)
target_link_libraries(pages_screenshot PRIVATE vtrl_wizard Qt6::Test)

# bench_soak: connect / read the configuration / disconnect, 1,000 times by
# default, with resident memory at the start and the end.
add_executable(bench_soak ${CMAKE_CURRENT_LIST_DIR}/pages_soak.cpp)
target_link_libraries(bench_soak PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# Not a benchmark: the local port page waiting for its confirmation and the
# Advanced dialog for both power classes, against the in-process simulator.
add_executable(pages_port_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_port_screenshot.cpp)
target_link_libraries(pages_port_screenshot PRIVATE vtrl_wizard vtrl_sim Qt6::Test)
# Not a benchmark: the discovery page during an inquiry and after pairing,
# against the in-process simulator (run under Xvfb).
add_executable(pages_discovery_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_discovery_screenshot.cpp)
target_link_libraries(pages_discovery_screenshot PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# bench_flood: the longest busy stretch of the user-interface thread while a
# burst of 10,000 InquiryResults is handled by the discovery page.
add_executable(bench_flood ${CMAKE_CURRENT_LIST_DIR}/pages_flood.cpp)
target_link_libraries(bench_flood PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# bench_hangup: from a device's hang-up to the page's text saying so, against
# the in-process simulator (median of N runs).
add_executable(bench_hangup ${CMAKE_CURRENT_LIST_DIR}/pages_hangup.cpp)
target_link_libraries(bench_hangup PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# Not a benchmark: the COM port page with a USB adapter's tooltip and the
# local port page after the device hung up (run under Xvfb).
add_executable(pages_ports_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_ports_screenshot.cpp)
target_link_libraries(pages_ports_screenshot PRIVATE vtrl_walk vtrl_sim Qt6::Test)
