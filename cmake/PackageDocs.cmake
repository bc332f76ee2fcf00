# The Debian package's documents and metadata: the changelog made from CHANGELOG.md, the
# copyright file, manual pages made at build time from the programs' own --help (help2man), and
# the AppStream metadata with the release list of CHANGELOG.md. Not for Windows builds.
if(WIN32)
  return()
endif()

include(GNUInstallDirs)
set(KORVANE_APPSTREAM_ID com.example.korvane)
set(korvane_docs_dir ${PROJECT_BINARY_DIR}/packaging)
set(korvane_changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set(korvane_changelog_script ${PROJECT_SOURCE_DIR}/packaging/changelog.sh)
set(korvane_maintainer "Korvane developers <korvane@example.com>")
file(MAKE_DIRECTORY ${korvane_docs_dir}/man)

# The top entry of CHANGELOG.md names the version that project() gives; say so early when not.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${korvane_changelog})
execute_process(COMMAND bash ${korvane_changelog_script} version ${korvane_changelog}
                OUTPUT_VARIABLE korvane_changelog_version OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE korvane_changelog_result)
if(NOT korvane_changelog_result EQUAL 0)
  message(WARNING "CHANGELOG.md cannot be read (see above); the package build will fail")
elseif(NOT korvane_changelog_version STREQUAL PROJECT_VERSION)
  message(WARNING "CHANGELOG.md's top entry is ${korvane_changelog_version}, project() says "
                  "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION} before a release")
endif()

add_custom_command(
  OUTPUT ${korvane_docs_dir}/changelog.gz
  COMMAND bash -c "set -o pipefail; bash \"$0\" debian \"$1\" korvane \"$2\" | gzip -9n >\"$3\""
          ${korvane_changelog_script} ${korvane_changelog} ${korvane_maintainer}
          ${korvane_docs_dir}/changelog.gz
  DEPENDS ${korvane_changelog} ${korvane_changelog_script}
  COMMENT "Debian changelog from CHANGELOG.md"
  VERBATIM)

set(korvane_metainfo ${korvane_docs_dir}/${KORVANE_APPSTREAM_ID}.metainfo.xml)
set(korvane_metainfo_template
    ${PROJECT_SOURCE_DIR}/packaging/linux/${KORVANE_APPSTREAM_ID}.metainfo.xml.in)
add_custom_command(
  OUTPUT ${korvane_metainfo}
  COMMAND bash -c "bash \"$0\" metainfo \"$1\" \"$2\" >\"$3\"" ${korvane_changelog_script}
          ${korvane_changelog} ${korvane_metainfo_template} ${korvane_metainfo}
  DEPENDS ${korvane_changelog} ${korvane_changelog_script} ${korvane_metainfo_template}
  COMMENT "AppStream metadata with the releases of CHANGELOG.md"
  VERBATIM)

set(korvane_docs ${korvane_docs_dir}/changelog.gz ${korvane_metainfo})

# korvane_add_manpage(PROGRAM "NAME LINE" [SUBCOMMANDS]): PROGRAM.1.gz from the program's --help
# and packaging/man/PROGRAM.h2m; with SUBCOMMANDS, every subcommand's --help too.
find_program(HELP2MAN help2man)
function(korvane_add_manpage program name)
  if(NOT TARGET ${program} OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  if(NOT HELP2MAN)
    message(WARNING "help2man not found: no manual page for ${program} (scripts/setup.sh installs it)")
    return()
  endif()
  cmake_parse_arguments(ARG "SUBCOMMANDS" "" "" ${ARGN})
  set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
  set(page ${korvane_docs_dir}/man/${program}.1.gz)
  set(script ${PROJECT_SOURCE_DIR}/packaging/man/make-manpage.sh)
  set(flag)
  if(ARG_SUBCOMMANDS)
    set(flag --subcommands)
  endif()
  add_custom_command(
    OUTPUT ${page}
    COMMAND bash ${script} $<TARGET_FILE:${program}> ${include} ${page}
            "Korvane ${PROJECT_VERSION}" ${name} ${flag}
    DEPENDS ${program} ${include} ${script}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  set(korvane_docs ${korvane_docs} ${page} PARENT_SCOPE)
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

korvane_add_manpage(korvane "firmware updater for PIC18 devices with a USB bootloader")
korvane_add_manpage(korvane-demo "the Korvane windows on a built-in emulated device")
korvane_add_manpage(korvane-cli "the Korvane firmware updater on the command line" SUBCOMMANDS)
korvane_add_manpage(korvane-gadget "the emulated bootloader device over real USB, on a USB device port")

add_custom_target(korvane-package-docs ALL DEPENDS ${korvane_docs})

install(FILES ${korvane_docs_dir}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${korvane_metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
