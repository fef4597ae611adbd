# SPDX-License-Identifier: Apache-2.0
# Runs at install time, before any file is copied: the install prefix (below
# DESTDIR, if set) must be writable, or the nearest folder that exists above
# it must be, so that a prefix without write access ends with one clear
# message instead of a failure halfway through the copy.
set(_vexokrt_target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_vexokrt_existing "${_vexokrt_target}")
while(NOT EXISTS "${_vexokrt_existing}")
  get_filename_component(_vexokrt_parent "${_vexokrt_existing}" DIRECTORY)
  if(_vexokrt_parent STREQUAL _vexokrt_existing OR _vexokrt_parent STREQUAL "")
    break()
  endif()
  set(_vexokrt_existing "${_vexokrt_parent}")
endwhile()
if(NOT IS_DIRECTORY "${_vexokrt_existing}")
  message(FATAL_ERROR "vexokrt: cannot install into ${_vexokrt_target}: ${_vexokrt_existing} is not a folder")
endif()
execute_process(COMMAND test -w "${_vexokrt_existing}" RESULT_VARIABLE _vexokrt_not_writable)
if(NOT _vexokrt_not_writable EQUAL 0)
  message(FATAL_ERROR "vexokrt: cannot install into ${_vexokrt_target}: no write access to ${_vexokrt_existing}. "
                      "Install as root (sudo cmake --install ...), or choose a prefix of your own "
                      "(cmake --install BUILD --prefix \$HOME/.local).")
endif()
