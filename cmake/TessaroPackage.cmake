# Installs the package files: TessaroSDKConfig.cmake (find_package(TessaroSDK [COMPONENTS sandbox]))
# with its version file and exported targets, and tessaro-sdk.pc for pkg-config.
include(CMakePackageConfigHelpers)

set(TESSARO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TessaroSDK)
install(EXPORT TessaroSDKTargets NAMESPACE TessaroSDK:: DESTINATION ${TESSARO_CMAKE_DIR})
if(TESSARO_BUILD_SANDBOX)
  install(EXPORT TessaroSDKSandboxTargets NAMESPACE TessaroSDK:: DESTINATION ${TESSARO_CMAKE_DIR})
endif()
if(TESSARO_BUILD_QT)
  install(EXPORT TessaroSDKQtTargets NAMESPACE TessaroSDK:: DESTINATION ${TESSARO_CMAKE_DIR})
endif()

if(BUILD_SHARED_LIBS)
  set(TESSARO_CONFIG_SHARED TRUE)
else()
  set(TESSARO_CONFIG_SHARED FALSE)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/TessaroSDKConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TessaroSDKConfig.cmake
  INSTALL_DESTINATION ${TESSARO_CMAKE_DIR})
# Before 1.0 a minor release may break the interface, so only the same major.minor is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TessaroSDKConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TessaroSDKConfig.cmake ${PROJECT_BINARY_DIR}/TessaroSDKConfigVersion.cmake
  DESTINATION ${TESSARO_CMAKE_DIR})

# pkg-config: relocatable (the prefix is found from the .pc file's own place).
file(RELATIVE_PATH TESSARO_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/packaging/tessaro-sdk.pc.in ${PROJECT_BINARY_DIR}/tessaro-sdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessaro-sdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
