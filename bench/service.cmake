# SPDX-License-Identifier: Apache-2.0
# The service object's event latency and idle cost, against the simulator.
add_executable(service_bench ${CMAKE_CURRENT_SOURCE_DIR}/service_bench.cc)
vexokrt_warnings(service_bench)
target_include_directories(service_bench PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(service_bench PRIVATE vexokrt_service vexokrt_sim benchmark::benchmark)
