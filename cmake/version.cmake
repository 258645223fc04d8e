# The commit id is taken at build time, not at configure time, so a rebuild after a new commit
# carries the new id. Outside a git checkout a fixed placeholder is used.
set(VOXAPP_GENERATED ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${VOXAPP_GENERATED})
add_custom_target(voxapp_commit_id
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DOUTPUT=${VOXAPP_GENERATED}/build_commit.hpp -P ${CMAKE_SOURCE_DIR}/cmake/commit_id.cmake
  BYPRODUCTS ${VOXAPP_GENERATED}/build_commit.hpp
  COMMENT "Reading the commit id")
