# bench_comport_connect: "Set COM Port Selection" to the configuration shown,
# against the in-process device simulator.
add_executable(bench_comport_connect ${CMAKE_CURRENT_LIST_DIR}/pages_comport_connect.cpp)
target_link_libraries(bench_comport_connect PRIVATE vtrl_wizard vtrl_sim Qt6::Test)

# Not a benchmark: drives the real wizard to the connected COM port page and
# saves a picture of it (run under Xvfb with VTRLCFG_PORTS set).
add_executable(pages_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_screenshot.cpp)
target_link_libraries(pages_screenshot PRIVATE vtrl_wizard Qt6::Test)

# Not a benchmark: the discovery page during an inquiry and after pairing,
# against the in-process simulator (run under Xvfb).
add_executable(pages_discovery_screenshot ${CMAKE_CURRENT_LIST_DIR}/pages_discovery_screenshot.cpp)
target_link_libraries(pages_discovery_screenshot PRIVATE vtrl_wizard vtrl_sim Qt6::Test)
