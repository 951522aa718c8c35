# One packaging case, run by ctest in a scratch directory of its own (SCRATCH, emptied first).
#   consumer  installs the build (BUILD_DIR) into SCRATCH/prefix, then configures, builds and
#             runs consumer/ against it through find_package(Quorrel).
#   parent    configures parent/, which adds the source tree as a subdirectory, with
#             GoogleTest hidden and no build type: the parent's must stay unset.
#   no_gtest  configures the source tree on its own with GoogleTest hidden: it must stop
#             and say what to install.
# C_COMPILER, CXX_COMPILER and GENERATOR are the build's own; LINK_FLAGS link the consumer
# against an instrumented library.
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
set(hide_gtest -DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE)

if(CASE STREQUAL "consumer")
  set(prefix ${SCRATCH}/prefix)
  run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  # The installed package must stand on its own: no path into the tree it was built from.
  file(GLOB_RECURSE package_files ${prefix}/*.cmake)
  if(NOT package_files)
    message(FATAL_ERROR "no package files installed under ${prefix}")
  endif()
  foreach(file IN LISTS package_files)
    file(READ ${file} text)
    foreach(tree ${SOURCE_DIR} ${BUILD_DIR})
      string(FIND "${text}" "${tree}" at)
      if(at GREATER_EQUAL 0)
        message(FATAL_ERROR "${file} names ${tree}")
      endif()
    endforeach()
  endforeach()
  run_step("consumer configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/packaging/consumer
    -B ${SCRATCH}/build -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
  run_step("consumer build" ${CMAKE_COMMAND} --build ${SCRATCH}/build)
  run_step("consumer run" ${SCRATCH}/build/consumer)
  if(NOT step_output STREQUAL "quorrel ${VERSION}\n")
    message(FATAL_ERROR "the consumer printed '${step_output}', not 'quorrel ${VERSION}'")
  endif()
elseif(CASE STREQUAL "parent")
  # No build type, not even from the environment (CMake takes CMAKE_BUILD_TYPE from there).
  run_step("parent configure" ${CMAKE_COMMAND} -E env --unset=CMAKE_BUILD_TYPE
    ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/packaging/parent
    -B ${SCRATCH}/build -G ${GENERATOR} -DQUORREL_SOURCE_DIR=${SOURCE_DIR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${hide_gtest})
elseif(CASE STREQUAL "no_gtest")
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${SCRATCH}/build -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${hide_gtest}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  # CMake wraps long messages: compare with the line breaks taken out.
  string(REGEX REPLACE "[ \n]+" " " flat "${out}")
  string(FIND "${flat}" "the tests need GoogleTest (libgtest-dev, libgmock-dev); install them or configure with -DQUORREL_BUILD_TESTS=OFF" at)
  if(status EQUAL 0 OR at LESS 0)
    message(FATAL_ERROR "a configure without GoogleTest should stop and say what to install (${status}):\n${out}")
  endif()
else()
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()
