# add_version_resource(TARGET DESCRIPTION): gives a Windows program a VERSIONINFO resource
# carrying the version of project(), the one place the version is written.
function(add_version_resource target description)
  set(VERSION_PROGRAM ${target})
  set(VERSION_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc
                 @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
endfunction()
