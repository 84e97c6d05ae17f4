# What is installed, and the packages that CPack makes of it: a Debian
# package on Linux, a ZIP on Windows (the RPM package is built from
# packaging/quarnel.spec). Every date in them is the release's
# (SOURCE_DATE_EPOCH, which scripts/release takes from the commit), and
# compressed files keep no name or time, so that the same commit always
# gives the same bytes.

# The version is stated once, in project(): NEWS, the manual and the RPM
# spec name it, or the packages would say one thing and hold another.
set(versioned NEWS docs/quarnel.1 packaging/quarnel.spec)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${versioned})
file(READ NEWS news)
file(READ docs/quarnel.1 manual)
file(READ packaging/quarnel.spec spec)
string(FIND "${spec}" "\n%changelog\n" changelog_start)
string(SUBSTRING "${spec}" ${changelog_start} -1 rpm_changelog)
string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
if(NOT news MATCHES "^quarnel ${version_pattern}\n"
   OR NOT manual MATCHES "^\\.TH [^\n]* \"quarnel ${version_pattern}\""
   OR NOT spec MATCHES "\nVersion: +${version_pattern}\n"
   OR NOT rpm_changelog MATCHES "^\n%changelog\n\\*[^\n]* - ${version_pattern}-1\n")
  message(FATAL_ERROR "NEWS, the .TH line of docs/quarnel.1, and the Version and the first %changelog "
                      "entry of packaging/quarnel.spec must name version ${PROJECT_VERSION}")
endif()

set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_CONTACT "The quarnel authors <quarnel@quarnel.invalid>")
set(CPACK_PACKAGE_VENDOR "The quarnel authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(REGEX MATCH "\n%description\n([^%]*[^\n%])\n" description "${spec}")
set(CPACK_PACKAGE_DESCRIPTION "${CMAKE_MATCH_1}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Everything is installed as one named component, and cpack installs only
# that: its list of installed files then goes to install_manifest_quarnel.txt,
# and install_manifest.txt stays the list of the user's own install.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME quarnel)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};quarnel;quarnel;/")

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

# Debian's changelog, made from the RPM spec's, so that the project keeps
# one: each "* DAY MON DD YYYY WHO - VERSION-1" entry with its "- " items.
string(REPLACE ";" "\\;" rpm_changelog "${rpm_changelog}")  # a ; in the text stays one
string(REPLACE "\n" ";" rpm_changelog "${rpm_changelog}")
set(changelog "")
set(trailer "")
foreach(line IN LISTS rpm_changelog)
  if(line MATCHES "^\\* (...) (...) (..) (....) (.*) - ([0-9.]+)-1$")
    string(APPEND changelog "${trailer}quarnel (${CMAKE_MATCH_6}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${CMAKE_MATCH_5}  ${CMAKE_MATCH_1}, ${CMAKE_MATCH_3} ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} 12:00:00 +0000\n\n")
  elseif(line MATCHES "^- (.*)")
    string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)")
    string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(STRIP "${changelog}${trailer}" changelog)
file(WRITE ${CMAKE_BINARY_DIR}/changelog "${changelog}\n")

# Documents over 4 KB are compressed in Debian's doc folder; the manual is
# compressed wherever it is installed.
find_program(QUARNEL_GZIP gzip REQUIRED)
foreach(source IN ITEMS ${CMAKE_SOURCE_DIR}/docs/quarnel.1 ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/NEWS
                        ${CMAKE_BINARY_DIR}/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${name}.gz COMMAND ${QUARNEL_GZIP} -n -9 -c ${source} > ${name}.gz DEPENDS ${source})
  list(APPEND compressed ${CMAKE_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(compressed_documents ALL DEPENDS ${compressed})

install(TARGETS quarnel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/quarnel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/README.md.gz ${CMAKE_BINARY_DIR}/NEWS.gz ${CMAKE_BINARY_DIR}/copyright
              ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
