# Read by cpack for each package it makes: the RPM package also holds the
# part installed only for it.
if(CPACK_GENERATOR STREQUAL "RPM")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${build} quarnel rpm_licence /)
endif()
