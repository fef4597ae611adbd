# SPDX-License-Identifier: Apache-2.0
# What an installed tree holds beside the programs and libraries: the
# pkg-config file and the CMake package of the development files, the
# documentation laid out as the README links it, the manual page and the bash
# completion. The Debian packages (debian/) are made from this tree.
include(CMakePackageConfigHelpers)

file(RELATIVE_PATH VEXOKRT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VEXOKRT_PC_TO_PREFIX "${VEXOKRT_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexokrt.pc.in ${PROJECT_BINARY_DIR}/vexokrt.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexokrt-c.pc.in ${PROJECT_BINARY_DIR}/vexokrt-c.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexokrt.pc ${PROJECT_BINARY_DIR}/vexokrt-c.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# find_package(vexokrt): the exported library targets (vexokrt::platform,
# vexokrt::control) and the path of the service object, found relative to
# the config file.
set(VEXOKRT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexokrt)
install(EXPORT vexokrtTargets NAMESPACE vexokrt:: DESTINATION ${VEXOKRT_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vexokrtConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vexokrtConfig.cmake
                              INSTALL_DESTINATION ${VEXOKRT_CMAKE_DIR}
                              PATH_VARS VEXOKRT_SERVICE_OBJECT_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vexokrtConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vexokrtConfig.cmake ${PROJECT_BINARY_DIR}/vexokrtConfigVersion.cmake
        DESTINATION ${VEXOKRT_CMAKE_DIR})

# The README links docs/ and examples/ relative to itself: they are installed
# so beside it.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/docs/control-panel.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/examples/pos_change.cc ${PROJECT_SOURCE_DIR}/examples/pos_change_c.c
              ${PROJECT_SOURCE_DIR}/examples/Makefile DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/pos_change.py DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

configure_file(${PROJECT_SOURCE_DIR}/docs/vexokrt.1.in ${PROJECT_BINARY_DIR}/vexokrt.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexokrt.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/vexokrt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
