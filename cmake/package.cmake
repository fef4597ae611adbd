# pkg-config file, documentation and the Debian package.
file(RELATIVE_PATH VEXOKRT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VEXOKRT_PC_TO_PREFIX "${VEXOKRT_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexokrt.pc.in ${PROJECT_BINARY_DIR}/vexokrt.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vexokrt-c.pc.in ${PROJECT_BINARY_DIR}/vexokrt-c.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexokrt.pc ${PROJECT_BINARY_DIR}/vexokrt-c.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/hardware.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/pos_change.cc ${PROJECT_SOURCE_DIR}/examples/pos_change_c.c
              ${PROJECT_SOURCE_DIR}/examples/Makefile DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/pos_change.py DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexokrt)
set(CPACK_PACKAGE_VENDOR "vexokrt")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service object for coin-and-bill recycling cash changers, with a simulator")
set(CPACK_PACKAGE_CONTACT "vexokrt developers <vexokrt@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The shared-library dependencies (libc, libstdc++, readline) are found by
# dpkg-shlibdeps from the installed files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
