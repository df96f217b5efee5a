# The Debian package's dependencies, for "make deb": included by cpack through
# CPACK_PROJECT_CONFIG_FILE, with KV_DEB_HOST_PROGRAMS naming the packaged
# programs built for the build machine and KV_DEB_WORK_DIR a place for
# dpkg-shlibdeps to work in. CPack's own dpkg-shlibdeps run would read every
# program in the package, and the libraries of the aarch64 bootstrap are not
# to be found on an x86-64 machine, nor needed there: a user's arm64 system
# has its own C library, which is all that bootstrap needs.
if(CPACK_GENERATOR STREQUAL "DEB")
  string(RANDOM LENGTH 8 kv_suffix)
  set(kv_work "${KV_DEB_WORK_DIR}.${kv_suffix}")
  # dpkg-shlibdeps looks for the source package's control file.
  file(WRITE "${kv_work}/debian/control" "")
  execute_process(COMMAND dpkg-shlibdeps --ignore-missing-info -O ${KV_DEB_HOST_PROGRAMS}
                  WORKING_DIRECTORY "${kv_work}" OUTPUT_VARIABLE kv_substvars
                  ERROR_VARIABLE kv_errors RESULT_VARIABLE kv_failed)
  file(REMOVE_RECURSE "${kv_work}")
  if(kv_failed OR NOT kv_substvars MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps could not read ${KV_DEB_HOST_PROGRAMS}: ${kv_errors}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}, ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()
