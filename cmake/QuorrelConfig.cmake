# Installed beside QuorrelTargets.cmake: the imported target Quorrel::quorrel, the shared
# library with quorrel.h's directory as its include directory.
include("${CMAKE_CURRENT_LIST_DIR}/QuorrelTargets.cmake")
