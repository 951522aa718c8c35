# libquorrel.so: the whole core library behind the C and Fortran-callable entry points.
# The version script keeps every other symbol local, so only quorrel_* and sphft_*_ are
# visible to callers.
set(QUORREL_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/quorrel_exports.map)
set(QUORREL_SHARED_UNIT ${CMAKE_BINARY_DIR}/quorrel_shared_unit.c)
if(NOT EXISTS ${QUORREL_SHARED_UNIT})
  file(WRITE ${QUORREL_SHARED_UNIT}
    "/* The shared library's own unit; everything else comes from the core archive. */\n"
    "typedef int quorrel_shared_unit;\n")
endif()
add_library(quorrel_shared SHARED ${QUORREL_SHARED_UNIT})
set_target_properties(quorrel_shared PROPERTIES
  OUTPUT_NAME quorrel
  C_VISIBILITY_PRESET hidden
  LINKER_LANGUAGE CXX
  LINK_DEPENDS ${QUORREL_EXPORT_MAP})
target_link_libraries(quorrel_shared PRIVATE -Wl,--whole-archive quorrel_core -Wl,--no-whole-archive)
target_link_options(quorrel_shared PRIVATE "LINKER:--version-script=${QUORREL_EXPORT_MAP}" "LINKER:--no-undefined")
target_include_directories(quorrel_shared INTERFACE ${CMAKE_SOURCE_DIR}/include)
