# liborvel: the engine behind the C API of include/orvel/orvel.h, for other
# programs and the Python package. Installed in two components, as Debian
# splits a library:
#   liborvel0     the shared library (liborvel.so.0, orvel.dll)
#   liborvel-dev  the header, the development link, orvel.pc, and the CMake
#                 package (find_package(orvel) gives orvel::orvel)
# The Windows test build links the in-process stand-in into it.
include(CMakePackageConfigHelpers)

add_library(orvel SHARED)
add_library(orvel::orvel ALIAS orvel)
target_link_libraries(orvel PRIVATE orvel_lib orvel_build_flags)
if(ORVEL_HIDAPI_STANDIN)
  target_link_libraries(orvel PRIVATE orvel_hidapi_standin)
endif()
target_include_directories(orvel PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
                                        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The SONAME changes only with the ABI: the major version.
set_target_properties(orvel PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                       EXPORT_NAME orvel)
if(MINGW)
  set_target_properties(orvel PROPERTIES PREFIX "")  # orvel.dll, as the Python package looks for it
endif()

install(TARGETS orvel EXPORT orvelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT liborvel0
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT liborvel0 NAMELINK_COMPONENT liborvel-dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT liborvel-dev)
install(FILES include/orvel/orvel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvel COMPONENT liborvel-dev)

set(_orvel_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/orvel)
install(EXPORT orvelTargets NAMESPACE orvel:: DESTINATION ${_orvel_cmake_dir} COMPONENT liborvel-dev)
configure_package_config_file(cmake/orvelConfig.cmake.in ${CMAKE_BINARY_DIR}/packaging/orvelConfig.cmake
  INSTALL_DESTINATION ${_orvel_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/orvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/orvelConfig.cmake ${CMAKE_BINARY_DIR}/packaging/orvelConfigVersion.cmake
        DESTINATION ${_orvel_cmake_dir} COMPONENT liborvel-dev)

configure_file(packaging/orvel.pc.in ${CMAKE_BINARY_DIR}/packaging/orvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/orvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT liborvel-dev)
