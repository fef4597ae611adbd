# SPDX-License-Identifier: Apache-2.0
# shell: line editing and history with readline where it is installed.
find_path(VEXOKRT_READLINE_INCLUDE readline/readline.h)
find_library(VEXOKRT_READLINE_LIBRARY readline)
if(VEXOKRT_READLINE_INCLUDE AND VEXOKRT_READLINE_LIBRARY)
  target_compile_definitions(vexokrt PRIVATE VEXOKRT_HAVE_READLINE)
  target_include_directories(vexokrt PRIVATE ${VEXOKRT_READLINE_INCLUDE})
  target_link_libraries(vexokrt PRIVATE ${VEXOKRT_READLINE_LIBRARY})
endif()
# The result lines name their codes with the control library's names.
target_link_libraries(vexokrt PRIVATE vexokrt_control)
