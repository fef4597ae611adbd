# SPDX-License-Identifier: Apache-2.0
add_executable(link_bench ${CMAKE_CURRENT_SOURCE_DIR}/link_bench.cc)
vexokrt_warnings(link_bench)
target_include_directories(link_bench PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(link_bench PRIVATE vexokrt_link vexokrt_sim benchmark::benchmark)
