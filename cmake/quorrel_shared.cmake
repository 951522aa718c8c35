# libquorrel.so: the core's objects behind the C and Fortran-callable entry points.
# The version script keeps every other symbol local, so only quorrel_* and sphft_*_ are
# visible to callers.
set(QUORREL_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/quorrel_exports.map)
add_library(quorrel_shared SHARED)
# Other projects link Quorrel::quorrel, whether they find the installed package or build
# Quorrel as a subdirectory.
add_library(Quorrel::quorrel ALIAS quorrel_shared)
target_link_libraries(quorrel_shared PRIVATE quorrel_objects)
set_target_properties(quorrel_shared PROPERTIES
  OUTPUT_NAME quorrel
  EXPORT_NAME quorrel
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${QUORREL_EXPORT_MAP})
target_link_options(quorrel_shared PRIVATE "LINKER:--version-script=${QUORREL_EXPORT_MAP}")
if(NOT QUORREL_INSTRUMENTED)
  target_link_options(quorrel_shared PRIVATE "LINKER:--no-undefined")
endif()
target_include_directories(quorrel_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The package: find_package(Quorrel) gives the imported target Quorrel::quorrel.
include(CMakePackageConfigHelpers)
set(QUORREL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorrel)
install(TARGETS quorrel_shared EXPORT QuorrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT QuorrelTargets NAMESPACE Quorrel:: DESTINATION ${QUORREL_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/QuorrelConfig.cmake
  ${PROJECT_BINARY_DIR}/QuorrelConfigVersion.cmake DESTINATION ${QUORREL_PACKAGE_DIR})
