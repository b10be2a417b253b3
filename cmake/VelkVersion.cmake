# The version string is rebuilt at every build from the repository state:
# <release>-<commits since release>-g<hash>.<year>-<month>-<day>-<hour>-<minute>
add_custom_target(velk_version_info
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}
          -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/generated/velk_version.cpp
          -DRELEASE=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${CMAKE_CURRENT_BINARY_DIR}/generated/velk_version.cpp
  COMMENT "Updating the build version string")
