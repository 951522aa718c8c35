# libquorrel.so: the core's objects behind the C and Fortran-callable entry points.
# The version script keeps every other symbol local, so only quorrel_* and sphft_*_ are
# visible to callers.
set(QUORREL_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/quorrel_exports.map)
add_library(quorrel_shared SHARED)
target_link_libraries(quorrel_shared PRIVATE quorrel_objects)
set_target_properties(quorrel_shared PROPERTIES
  OUTPUT_NAME quorrel
  LINK_DEPENDS ${QUORREL_EXPORT_MAP})
target_link_options(quorrel_shared PRIVATE "LINKER:--version-script=${QUORREL_EXPORT_MAP}" "LINKER:--no-undefined")
target_include_directories(quorrel_shared INTERFACE ${PROJECT_SOURCE_DIR}/include)
