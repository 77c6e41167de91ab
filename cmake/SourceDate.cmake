# The shipped program's header is dated by the sources, not by the build:
# the commit time, or SOURCE_DATE_EPOCH when the caller of the build sets
# it (cmake/source-date.sh). Two builds of one commit in any folders then
# give the same bytes.
set(SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/source-date-epoch)
# Runs at every build, so that a new commit relinks the program.
add_custom_target(source_date_epoch
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/source-date.sh write ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${SOURCE_DATE_FILE}
  BYPRODUCTS ${SOURCE_DATE_FILE}
  VERBATIM)

# link_at_source_date(TARGET): TARGET is linked with that date.
function(link_at_source_date target)
  add_dependencies(${target} source_date_epoch)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${SOURCE_DATE_FILE})
  set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
    bash ${CMAKE_SOURCE_DIR}/cmake/source-date.sh link ${SOURCE_DATE_FILE} --)
endfunction()
