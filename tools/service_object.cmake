# SPDX-License-Identifier: Apache-2.0
# register, unregister, config and open: the registry stand-in, activation
# and the service object library they load.
target_link_libraries(vexokrt PRIVATE vexokrt_config vexokrt_platform)
add_dependencies(vexokrt vexokrt77)
