# SPDX-License-Identifier: Apache-2.0
# demo: the simulator runs inside the program; the service object is loaded
# from libvexokrt77.so through the registry.
target_link_libraries(vexokrt PRIVATE vexokrt_sim vexokrt_sim_web)
target_link_libraries(vexokrt PRIVATE vexokrt_cash)
