# SPDX-License-Identifier: Apache-2.0
target_link_libraries(vexokrt PRIVATE vexokrt_link)
