# The page benches drive the wizard on the rig (demo/rig.h). The pictures
# that programs here used to take are scenes of the walk-through now:
# vtrlwalk --scene all FOLDER.

# bench_comport_connect: wall and CPU time of one "Set COM Port Selection"
# attempt that closes the held port, against a simulated device (child process).
# bench_soak: connect / read the configuration / disconnect, 1,000 times by
# default, with resident memory at the start and the end.
# bench_flood: the longest busy stretch of the user-interface thread while a
# burst of 10,000 InquiryResults is handled by the discovery page.
# bench_hangup: from a device's hang-up to the page's text saying so, against
# the in-process simulator (median of N runs).
foreach(name comport_connect soak flood hangup)
  add_executable(bench_${name} ${CMAKE_CURRENT_LIST_DIR}/pages_${name}.cpp)
  target_link_libraries(bench_${name} PRIVATE vtrl_walk)
endforeach()
