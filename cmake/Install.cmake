# What `cmake --install` puts in place (native builds): the shared library
# with its versioned soname, the public headers, a CMake package and a
# pkg-config file for clients, the udev rule when there is one, and the tool
# with its documentation.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tarncam EXPORT tarncamTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
          include/tarncam/tarncam.h
          include/tarncam/tarncam_camera.h
          include/tarncam/tarncam_native.h
          include/tarncam/tarncam_sim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarncam)

set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarncam)
install(EXPORT tarncamTargets NAMESPACE tarncam:: DESTINATION ${_cmake_dir})
configure_package_config_file(cmake/tarncamConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarncamConfig.cmake INSTALL_DESTINATION ${_cmake_dir})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarncamConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarncamConfig.cmake
              ${PROJECT_BINARY_DIR}/tarncamConfigVersion.cmake
        DESTINATION ${_cmake_dir})

configure_file(cmake/tarncam.pc.in ${PROJECT_BINARY_DIR}/tarncam.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarncam.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The rule that gives users access to the camera, where the USB backend
# brings one.
file(GLOB _udev_rules ${PROJECT_SOURCE_DIR}/udev/*.rules)
if(_udev_rules)
  install(FILES ${_udev_rules} DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d)
endif()

install(FILES README.md docs/api.md docs/cli.md docs/simulator.md docs/firmware.md LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
