# What is installed, and the packages made of it: a Debian and an RPM
# package on Linux, a ZIP on Windows. Every date in them is the release's
# (SOURCE_DATE_EPOCH, which scripts/release takes from the commit), and
# compressed files keep no name or time, so that the same commit always
# gives the same bytes.

# The changelog and NEWS name the version being built, or the packages
# would say one thing and hold another.
file(STRINGS packaging/changelog changelog_head LIMIT_COUNT 1)
file(STRINGS NEWS news_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^quarnel \\(${PROJECT_VERSION}\\) " OR NOT news_head STREQUAL "quarnel ${PROJECT_VERSION}")
  message(FATAL_ERROR "NEWS and packaging/changelog must begin with version ${PROJECT_VERSION}")
endif()

set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_CONTACT "quarnel maintainers <maintainers@users.noreply.c-seed-f7459034.example>")
set(CPACK_PACKAGE_VENDOR "The quarnel authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "quarnel -c PATH splits one C or C++ source file into Number, Word, String,
Symbol and Comment tokens, prints them as a numbered listing on standard
output, and writes an HTML page with the token table to PATH.html.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # quarnel.exe with the README, the NEWS and the licence side by side.
  install(TARGETS quarnel RUNTIME DESTINATION .)
  install(FILES README.md NEWS LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
# Debian's machine-readable copyright: the project's own licence statement
# with the licence's text, each line indented and each blank line a dot.
file(READ .reuse/dep5 copyright)
file(READ LICENSE licence)
string(FIND "${licence}" "Permission" terms_start)
string(SUBSTRING "${licence}" ${terms_start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright "${copyright}\nLicense: MIT\n ${terms}\n")

find_program(QUARNEL_GZIP gzip REQUIRED)
foreach(source IN ITEMS docs/quarnel.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${name}.gz COMMAND ${QUARNEL_GZIP} -n -9 -c ${CMAKE_SOURCE_DIR}/${source} > ${name}.gz
                     DEPENDS ${source})
endforeach()
add_custom_target(compressed_documents ALL DEPENDS quarnel.1.gz changelog.gz)

install(TARGETS quarnel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/quarnel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md NEWS ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# RPM-based systems keep licences here; Debian has its copyright file.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/quarnel COMPONENT rpm_licence EXCLUDE_FROM_ALL)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-per-package.cmake)

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB RPM)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP Development/Tools)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_SUMMARY "List the tokens of a C or C++ source file and write them as an HTML table")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
# rpmbuild dates the package by the build and names the machine; these take
# the release's date and a fixed name instead.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define packager ${CPACK_PACKAGE_CONTACT}")
include(CPack)
