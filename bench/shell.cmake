# bench_startup: process start of vtrlcfg until its first page is shown.
add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/shell_startup.cpp)
target_compile_definitions(bench_startup PRIVATE VTRLCFG_PATH="$<TARGET_FILE:vtrlcfg>")
add_dependencies(bench_startup vtrlcfg)

# bench_roundtrip: GetLocalAddress -> LocalAddress through the main window,
# the driver, a pseudo-terminal and the simulator.
add_executable(bench_roundtrip ${CMAKE_CURRENT_LIST_DIR}/shell_roundtrip.cpp)
target_link_libraries(bench_roundtrip PRIVATE vtrl_walk)
