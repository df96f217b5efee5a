# Installing, the Debian package and the release archives.

# Installation: kv-pack in bin/, the bootstraps where kv-pack looks for them
# by default (../lib/kv-bootstrap/ from its own directory; the aarch64 one as
# kv-bootstrap-aarch64), the man pages in the usual place. The bootstraps are
# installed as built: stripped at their link.
# "cmake --install --strip" strips kv-pack as well.
include(GNUInstallDirs)
install(TARGETS kv-pack RUNTIME DESTINATION bin)
# Each stub this build makes, under its name from the architecture table (cmake/ShippedStub.cmake).
foreach(entry IN LISTS kv_shipped_stubs)
  kv_shipped_stub_fields("${entry}" stub)
  if(NOT "${${stub_var}}" STREQUAL "")
    install(PROGRAMS ${${stub_var}} DESTINATION lib/kv-bootstrap RENAME ${stub_name})
  endif()
endforeach()
install(FILES docs/man/kv-bootstrap.1 docs/man/kv-pack.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The README and the notes for vendors, with the sample bundle and agent they
# point to, laid out as in the sources so that their links hold.
set(kv_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kv-bootstrap)
file(GLOB kv_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES README.md DESTINATION ${kv_doc_dir})
install(FILES ${kv_docs} DESTINATION ${kv_doc_dir}/docs)
install(DIRECTORY examples DESTINATION ${kv_doc_dir} USE_SOURCE_PERMISSIONS)
include(${CMAKE_CURRENT_LIST_DIR}/ReleaseNotices.cmake)

# The Debian package ("make deb"): what the rules above install, under /usr,
# so that kv-pack finds the stubs in /usr/lib/kv-bootstrap/. dpkg-shlibdeps
# adds the libraries the build machine's programs load (cmake/DebDepends.cmake);
# kv-pack runs zip and unzip.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kv-bootstrap)
set(CPACK_PACKAGE_CONTACT "kv-bootstrap maintainers <maintainers@kv-bootstrap.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bootstrap of self-extracting application installers, and its packer")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kv-pack puts the kv-bootstrap program in front of an application bundle and,
optionally, an install agent, making one self-extracting installer file for
64-bit Linux, x86-64 or aarch64. When run, the bootstrap unpacks the bundle, gets the install
agent from the package or from the vendor's server, and runs it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zip, unzip")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake CONTENT
"set(KV_DEB_HOST_PROGRAMS \"$<TARGET_FILE:kv-pack>;${KV_STUB}\")
set(KV_DEB_WORK_DIR \"${CMAKE_BINARY_DIR}/deb-depends\")
include(\"${CMAKE_SOURCE_DIR}/cmake/DebDepends.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
if(NOT KV_SANITIZE)
  set(CPACK_STRIP_FILES ON)  # kv-pack: the bootstrap is installed as a file, stripped already
endif()
include(CPack)

# The release archives ("make dist"): kv-bootstrap-<version>-linux-x86_64.tar.gz
# and ...-linux-aarch64.tar.gz in the build directory, each what the rules
# above install, with the portable kv-pack for its machine (tools/dist.sh).
# With SOURCE_DATE_EPOCH set, the same build gives the same bytes.
if(KV_OUTER_STUB_BUILD)
  add_custom_target(dist
    COMMAND sh ${CMAKE_SOURCE_DIR}/tools/dist.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
            ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${kv_dist_packs}
    DEPENDS ${KV_PACK_PORTABLE} ${KV_PACK_PORTABLE_AARCH64}
    VERBATIM)
  add_dependencies(dist kv-pack kv-stub kv-stub-aarch64)
endif()

