# What `cmake --install` adds besides the libraries and headers: the CMake
# package (find_package(KSXComms) gives KSX::Comms), its version file, the
# pkg-config file and the default service file. Every path written here is
# relative to the installed file itself, so the prefix can be moved.
include(CMakePackageConfigHelpers)

set(KSX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KSXComms)

install(EXPORT KSXCommsTargets
        NAMESPACE KSX::
        FILE KSXCommsTargets.cmake
        DESTINATION ${KSX_PACKAGE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/KSXCommsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KSXCommsConfig.cmake
  INSTALL_DESTINATION ${KSX_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/KSXCommsConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KSXCommsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KSXCommsConfigVersion.cmake
        DESTINATION ${KSX_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory.
set(KSX_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${KSX_PC_DIR}")
  set(KSX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH KSX_PC_UP "/prefix/${KSX_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" KSX_PC_UP "${KSX_PC_UP}")
  set(KSX_PC_PREFIX "\${pcfiledir}/${KSX_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KSX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KSX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/KSXComms.pc.in ${CMAKE_CURRENT_BINARY_DIR}/KSXComms.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KSXComms.pc DESTINATION ${KSX_PC_DIR})

# The shipped service file, holding the multicast entry every engine needs;
# an installation copies it to $KSX_HOME/etc/ostravine/ServiceData.cfg.
install(FILES ${PROJECT_SOURCE_DIR}/etc/ServiceData.cfg.default
        DESTINATION ${CMAKE_INSTALL_DATADIR}/KSXComms)
