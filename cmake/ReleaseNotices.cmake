# The licence, the notices and the history that go with every install, and so
# into the release archives and the Debian package: LICENSE, THIRD-PARTY.md
# and CHANGELOG.md beside the README in share/doc/kv-bootstrap/, and there
# too `copyright`, the same terms in Debian's machine-readable format, made
# here from LICENSE and the licence texts of THIRD-PARTY.md (its ~~~license
# blocks), so that the two cannot drift apart. Included by Packaging.cmake
# after kv_doc_dir is set; tests/CMakeLists.txt holds the notices against the
# programs.

# The DEP-5 licence paragraph NAME with TEXT, each line indented, blank lines
# as " .".
function(kv_dep5_license name text out)
  string(REGEX REPLACE "\n+$" "" text "${text}")
  string(REPLACE "\n" "\n " text "${text}")
  string(REPLACE "\n \n" "\n .\n" text "${text}")
  string(REPLACE "\n \n" "\n .\n" text "${text}")
  set(${out} "License: ${name}\n ${text}\n" PARENT_SCOPE)
endfunction()

file(READ ${CMAKE_SOURCE_DIR}/LICENSE kv_license_text)
file(READ ${CMAKE_SOURCE_DIR}/THIRD-PARTY.md kv_third_party)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/THIRD-PARTY.md)
# Semicolons would split the texts as CMake lists.
string(REPLACE ";" "<kv-semicolon>" kv_third_party "${kv_third_party}")
string(REGEX MATCHALL "~~~license [^\n]+\n[^~]*~~~" kv_license_blocks "${kv_third_party}")

kv_dep5_license(0BSD "${kv_license_text}" kv_paragraph)
set(kv_license_paragraphs "${kv_paragraph}")
set(kv_license_names 0BSD)
foreach(block IN LISTS kv_license_blocks)
  string(REGEX MATCH "^~~~license ([^\n]+)\n(.*)~~~$" unused "${block}")
  kv_dep5_license("${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" kv_paragraph)
  string(APPEND kv_license_paragraphs "\n${kv_paragraph}")
  list(APPEND kv_license_names "${CMAKE_MATCH_1}")
endforeach()

# Which program carries what (THIRD-PARTY.md says why). The paths hold in the
# Debian package (usr/...) and in a release archive's top directory alike;
# of the stanzas that match a file, the last one counts.
set(kv_gcc "GPL-3+ with GCC-runtime-library exception")
set(kv_glibc "LGPL-2.1+ with glibc-link exception")
set(kv_programs "0BSD and ${kv_gcc} and ${kv_glibc}")
set(kv_dep5_files
"Files: *
Copyright: 2026 the kv-bootstrap authors
License: 0BSD

Files: usr/bin/kv-pack *lib/kv-bootstrap/*
Copyright: 2026 the kv-bootstrap authors
 Free Software Foundation, Inc.
License: ${kv_programs}
Comment: The GCC runtime and glibc's start-up code are linked in; they ask
 nothing of whoever passes the programs on.

Files: bin/kv-pack
Copyright: 2026 the kv-bootstrap authors
 Free Software Foundation, Inc.
 1995-2017 Jean-loup Gailly and Mark Adler
License: ${kv_programs} and Zlib
Comment: The release archives' kv-pack carries zlib's crc32.o.

Files: *lib/kv-bootstrap/kv-bootstrap-keyed*
Copyright: 2026 the kv-bootstrap authors
 Free Software Foundation, Inc.
 2013-2017 Frank Denis <j at pureftpd dot org>
 2005, 2007, 2009 Colin Percival
License: ${kv_programs} and ISC and BSD-2-clause
Comment: The keyed bootstraps carry libsodium, some of it public domain or
 CC0. A package made with one (kv-pack --agent-key) must come with the ISC
 and BSD-2-clause notices, as THIRD-PARTY.md says.
")
foreach(name 0BSD ISC BSD-2-clause Zlib "${kv_gcc}" "${kv_glibc}")
  if(NOT name IN_LIST kv_license_names)
    message(FATAL_ERROR "THIRD-PARTY.md has no ~~~license ${name} block for the copyright file")
  endif()
endforeach()

set(kv_copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kv-bootstrap
Comment: What each program carries of other people's code, and what that
 asks of a vendor who ships it, is in THIRD-PARTY.md beside this file.

${kv_dep5_files}
${kv_license_paragraphs}")
string(REPLACE "<kv-semicolon>" ";" kv_copyright "${kv_copyright}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/copyright CONTENT "${kv_copyright}" @ONLY)

install(FILES LICENSE THIRD-PARTY.md CHANGELOG.md ${CMAKE_BINARY_DIR}/copyright
        DESTINATION ${kv_doc_dir})
