# The bootstraps that vendors ship, in front of every package: for each
# architecture of the table in formats/arch.h, the small stub and the keyed
# stub, which checks agents against the key kv-pack puts in its record. Each
# must start on every Linux of its architecture with glibc 2.17 or later, so
# it is built against an old glibc: in a Debian 11 root, by the inner build,
# which tools/build-stub.sh runs there on a read-only view of these sources
# (for aarch64 with the root's cross toolchain, cmake/aarch64-linux-gnu.cmake).
# The outer build runs it through a custom command for each, and names the
# files KV_STUB, KV_STUB_KEYED, KV_STUB_AARCH64 and KV_STUB_KEYED_AARCH64
# (from the table's build directories). Without the inner build (a sanitizer
# or fuzz build, or KV_OUTER_STUB_BUILD=OFF) KV_STUB and KV_STUB_KEYED are
# the host-built bootstraps and there are no aarch64 stubs. kv-pack is built
# the same way, for the release archives (KV_PACK_PORTABLE and
# KV_PACK_PORTABLE_AARCH64, outer build only).

# Sources of the inner build alone.
set(kv_inner_stub_sources ${CMAKE_SOURCE_DIR}/bootstrap/terminate_handler.cc)

if(KV_INNER_STUB_BUILD)
  # At load time the shipped bootstrap needs only the C library: the C++
  # runtime travels inside it.
  target_link_options(kv-bootstrap PRIVATE -static-libstdc++ -static-libgcc)
  # A terminate handler without the runtime's demangler (see the file).
  target_sources(kv-bootstrap PRIVATE ${kv_inner_stub_sources})
  # libpthread from the start: before glibc 2.25, a program without it that
  # dlopen()s a library linked with it (libcurl) can corrupt its heap. glibc
  # 2.34 and later keep libpthread.so.0 as an empty library.
  target_link_options(kv-bootstrap PRIVATE "SHELL:-Wl,--no-as-needed -lpthread -Wl,--as-needed")

  # The portable kv-pack of the release archives, for every Linux of its
  # architecture with glibc 2.17 or later, like the bootstrap: the C++
  # runtime and zlib travel inside it. zlib is linked in rather than loaded
  # because kv-pack uses nothing of it but crc32(), a few kilobytes that
  # parse no input, so that the tool needs only the C library, as the
  # bootstraps do, and never meets a libz.so.1 older or newer than its own.
  find_library(KV_ZLIB_STATIC NAMES libz.a)
  if(NOT KV_ZLIB_STATIC)
    message(FATAL_ERROR "the portable kv-pack needs libz.a (Debian: zlib1g-dev)")
  endif()
  target_link_libraries(kv-pack PRIVATE ${KV_ZLIB_STATIC})
  target_link_options(kv-pack PRIVATE -static-libstdc++ -static-libgcc -s -Wl,--gc-sections)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/ShippedStubTargets.cmake)
endif()
