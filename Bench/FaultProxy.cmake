# holvane_fault_proxy: a forwarding proxy that resets, black-holes, delays,
# splits and drips on command, and refuses connections during outages. The
# benchmarks' reconnect run and the Python tests' fault run both go through
# it, so it is built with either (and defined once).
include_guard(GLOBAL)
add_executable(holvane_fault_proxy
  ${CMAKE_CURRENT_LIST_DIR}/holvane_fault_proxy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FaultProxy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Endpoint.cpp)
