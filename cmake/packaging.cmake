# What is installed, and the files that only the Debian package carries.
# The packages are made by packaging/deb (Debian), packaging/zip (Windows)
# and packaging/quarnel.spec (RPM), each from a build folder, so that every
# byte of them is under the project's control: see scripts/release.

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

# The linker's map of what it took into quarnel, relative to the folder it
# links in (the build folder): the packages name the runtime code of other
# projects that the binary carries from it (packaging/linked-code).
target_link_options(quarnel PRIVATE LINKER:-Map=quarnel.map)

# Two components: the program with its manual, which every package takes as
# it is, and the documents, which each package places its own way.
# `cmake --install` installs both.
if(WIN32)
  install(TARGETS quarnel RUNTIME DESTINATION . COMPONENT quarnel)
  install(FILES README.md NEWS LICENSE DESTINATION . COMPONENT documents)
  return()
endif()

include(GNUInstallDirs)
find_program(QUARNEL_GZIP gzip REQUIRED)
# gzip_file(SOURCE OUTPUT): OUTPUT, made at build time, is SOURCE compressed
# with no name or time in it.
function(gzip_file source output)
  add_custom_command(OUTPUT ${output} COMMAND ${QUARNEL_GZIP} -n -9 -c ${source} > ${output} DEPENDS ${source})
  set_property(DIRECTORY APPEND PROPERTY compressed ${output})
endfunction()

gzip_file(${CMAKE_SOURCE_DIR}/docs/quarnel.1 ${CMAKE_BINARY_DIR}/quarnel.1.gz)
install(TARGETS quarnel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quarnel)
install(FILES ${CMAKE_BINARY_DIR}/quarnel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT quarnel)
install(FILES README.md NEWS LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documents)

# What only the Debian package holds, in debian/ of the build folder, for
# packaging/deb: its copyright and changelog, the README and NEWS compressed
# (Debian's rule for documents over 4 KB), the description, and lintian's
# overrides.
set(debian ${CMAKE_BINARY_DIR}/debian)

# Debian's machine-readable copyright: the project's own licence statement
# with the licence's text, each line indented and each blank line a dot.
file(READ .reuse/dep5 copyright)
file(READ LICENSE licence)
string(FIND "${licence}" "Permission" terms_start)
string(SUBSTRING "${licence}" ${terms_start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${debian}/copyright "${copyright}\nLicense: MIT\n ${terms}\n")

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
file(WRITE ${debian}/changelog "${changelog}\n")

# The description: the project's summary, then the spec's %description,
# each line indented.
string(REGEX MATCH "\n%description\n([^%]*[^\n%])\n" description "${spec}")
string(REPLACE "\n" "\n " description "${CMAKE_MATCH_1}")
file(WRITE ${debian}/description "Description: ${PROJECT_DESCRIPTION}\n ${description}\n")
configure_file(packaging/quarnel.lintian-overrides ${debian}/lintian-overrides COPYONLY)

gzip_file(${debian}/changelog ${debian}/changelog.gz)
gzip_file(${CMAKE_SOURCE_DIR}/README.md ${debian}/README.md.gz)
gzip_file(${CMAKE_SOURCE_DIR}/NEWS ${debian}/NEWS.gz)
get_property(compressed DIRECTORY PROPERTY compressed)
add_custom_target(compressed_documents ALL DEPENDS ${compressed})
