# The installable package. `cmake --install <build> --prefix DIR` lays out
#   bin/                  KaSystem.x64.dll, the KaAllocator.x64.dll and KaXml.x64.dll
#                         stand-ins, kahost.exe
#   include/ka/           the public headers
#   lib/cmake/KaSystem/   KaSystemConfig.cmake and its version file
# so a host can either copy include/ka and the DLLs, or use
# find_package(KaSystem) with the prefix on CMAKE_PREFIX_PATH. The test
# siblings are for the build tree only and are never installed.
include(CMakePackageConfigHelpers)

set(KA_INSTALL_BINDIR bin)
set(KA_INSTALL_INCLUDEDIR include)
set(KA_INSTALL_CMAKEDIR lib/cmake/KaSystem)

# Hosts load the DLLs at run time and link no import library, so the import
# libraries the toolchain writes stay out of a default install (they go only
# with `--component import_libraries`).
install(TARGETS KaSystem KaAllocator KaXml kahost
  RUNTIME DESTINATION ${KA_INSTALL_BINDIR}
  ARCHIVE DESTINATION lib COMPONENT import_libraries EXCLUDE_FROM_ALL)
install(DIRECTORY include/ka DESTINATION ${KA_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

# What hosts compile against: the interface tables, nothing to link.
add_library(ka_headers INTERFACE)
add_library(KaSystem::headers ALIAS ka_headers)
target_include_directories(ka_headers INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${KA_INSTALL_INCLUDEDIR}>)
set_target_properties(ka_headers PROPERTIES EXPORT_NAME headers)
install(TARGETS ka_headers EXPORT KaSystemTargets)
install(EXPORT KaSystemTargets NAMESPACE KaSystem:: DESTINATION ${KA_INSTALL_CMAKEDIR})

# The config names the DLLs by their installed file names.
get_target_property(KA_SYSTEM_DLL_NAME KaSystem OUTPUT_NAME)
get_target_property(KA_ALLOCATOR_DLL_NAME KaAllocator OUTPUT_NAME)
string(APPEND KA_SYSTEM_DLL_NAME ${CMAKE_SHARED_LIBRARY_SUFFIX})
string(APPEND KA_ALLOCATOR_DLL_NAME ${CMAKE_SHARED_LIBRARY_SUFFIX})
configure_package_config_file(cmake/KaSystemConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/KaSystemConfig.cmake
  INSTALL_DESTINATION ${KA_INSTALL_CMAKEDIR}
  PATH_VARS KA_INSTALL_BINDIR)
# The slot tables only ever grow within a major version. The DLLs are x64,
# so the version file also refuses a 32-bit consumer.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/KaSystemConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/KaSystemConfig.cmake
  ${CMAKE_BINARY_DIR}/package/KaSystemConfigVersion.cmake
  DESTINATION ${KA_INSTALL_CMAKEDIR})

if(KA_BUILD_TESTS)
  # kahost's command line: help, an unknown command, a missing library, the
  # default tour.
  add_test(NAME kahost_command_line COMMAND ${CMAKE_SOURCE_DIR}/cmake/test-kahost.sh
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(kahost_command_line PROPERTIES
    ENVIRONMENT "KA_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 300 RESOURCE_LOCK desktop)

  # Installs this build into a prefix under the build tree, builds the
  # example host against it with find_package and runs it under Wine.
  add_test(NAME package_example COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DWORK_DIR=${CMAKE_BINARY_DIR}/package-test
    -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
    -P ${CMAKE_SOURCE_DIR}/cmake/test-package.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(package_example PROPERTIES
    ENVIRONMENT "KA_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 600)
endif()
