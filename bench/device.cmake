# SPDX-License-Identifier: Apache-2.0
# The device layer's own overhead, idle CPU and request order.
add_executable(device_bench ${CMAKE_CURRENT_SOURCE_DIR}/device_bench.cc)
vexokrt_warnings(device_bench)
target_include_directories(device_bench PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(device_bench PRIVATE vexokrt_device vexokrt_sim benchmark::benchmark Threads::Threads)
