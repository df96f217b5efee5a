# The bootstraps that vendors ship, in front of every package: for x86-64 and
# for aarch64, each as the small stub and as the keyed stub, which checks
# agents against the key kv-pack puts in its record. Each must start on every Linux of its architecture
# with glibc 2.17 or later, so it is built against an old glibc: in a Debian
# 11 root, by the inner build, which tools/build-stub.sh runs there on a
# read-only view of these sources (for aarch64 with the root's cross
# toolchain, cmake/aarch64-linux-gnu.cmake). The outer build runs it through
# a custom command for each and takes the results as KV_STUB and
# KV_STUB_AARCH64 (KV_STUB_KEYED and KV_STUB_KEYED_AARCH64 for the keyed ones); without one (a sanitizer or fuzz build, or
# KV_OUTER_STUB_BUILD=OFF) KV_STUB is the host-built kv-bootstrap and there is
# KV_STUB_KEYED is the host-built kv-bootstrap-keyed, and there are no aarch64 stubs.
# kv-pack is built the same way, for the release archives (KV_PACK_PORTABLE
# and KV_PACK_PORTABLE_AARCH64, outer build only).

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
  return()
endif()

# Every source file that `target` is compiled from, its libraries' included,
# as absolute paths: the inner build compiles the same files.
function(kv_sources_of target out)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(found "")
  foreach(source IN LISTS sources)
    if(NOT IS_ABSOLUTE "${source}")
      set(source "${dir}/${source}")
    endif()
    list(APPEND found "${source}")
  endforeach()
  get_target_property(libraries ${target} LINK_LIBRARIES)
  foreach(library IN LISTS libraries)
    if(TARGET "${library}")
      kv_sources_of(${library} more)
      list(APPEND found ${more})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

file(GLOB kv_stub_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bootstrap/*.h
     ${CMAKE_SOURCE_DIR}/agent/*.h ${CMAKE_SOURCE_DIR}/launch/*.h)
file(GLOB kv_pack_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/kv-pack/*.h)

# Makes OUT_DIR/kv-bootstrap for `arch` (x86-64 or aarch64) in the inner
# build: the shipped build of `bootstrap` (kv-bootstrap, or kv-bootstrap-keyed
# with `keyed` ON), the host target built from the same sources.
function(kv_add_shipped_stub out_dir bootstrap keyed arch)
  kv_sources_of(${bootstrap} inputs)
  add_custom_command(
    OUTPUT ${out_dir}/kv-bootstrap
    COMMAND ${CMAKE_SOURCE_DIR}/tools/build-stub.sh ${CMAKE_SOURCE_DIR} ${out_dir} ${arch}
            -DKV_AGENT_BASE_URL=${KV_AGENT_BASE_URL} -DKV_AGENT_PUBLIC_KEY=${KV_AGENT_PUBLIC_KEY}
            -DKV_INNER_STUB_KEYED=${keyed}
    DEPENDS ${inputs} ${kv_inner_stub_sources} ${kv_stub_headers} CMakeLists.txt
            cmake/AgentPublicKey.cmake cmake/ShippedStub.cmake cmake/aarch64-linux-gnu.cmake
            tools/build-stub.sh tools/stub-root.sh
    COMMENT "Building the shipped ${arch} bootstrap in the Debian 11 root (${out_dir})"
    VERBATIM)
endfunction()

# Makes OUT_DIR/kv-pack for `arch` in the inner build: the portable kv-pack
# that the release archives carry (make dist), from the host kv-pack's sources.
function(kv_add_portable_pack out_dir arch)
  kv_sources_of(kv-pack inputs)
  add_custom_command(
    OUTPUT ${out_dir}/kv-pack
    COMMAND ${CMAKE_SOURCE_DIR}/tools/build-stub.sh ${CMAKE_SOURCE_DIR} ${out_dir} ${arch}
            --target kv-pack
    DEPENDS ${inputs} ${kv_stub_headers} ${kv_pack_headers} CMakeLists.txt
            cmake/ShippedStub.cmake cmake/aarch64-linux-gnu.cmake tools/build-stub.sh
            tools/stub-root.sh
    COMMENT "Building the portable ${arch} kv-pack in the Debian 11 root (${out_dir})"
    VERBATIM)
endfunction()

# Every shipped stub, one entry each: the variable that names its file, the
# build directory it is made in, its architecture, whether it is keyed, and
# the name the install rules give it in lib/kv-bootstrap/. kv-pack looks for
# the same directories and names (the table in tools/kv-pack/arch.cc).
set(kv_shipped_stubs
  "KV_STUB|stub|x86-64|OFF|kv-bootstrap"
  "KV_STUB_KEYED|stub-keyed|x86-64|ON|kv-bootstrap-keyed"
  "KV_STUB_AARCH64|stub-aarch64|aarch64|OFF|kv-bootstrap-aarch64"
  "KV_STUB_KEYED_AARCH64|stub-keyed-aarch64|aarch64|ON|kv-bootstrap-keyed-aarch64")

# Splits an entry of kv_shipped_stubs into the variables PREFIX_var, _dir,
# _arch, _keyed and _name.
function(kv_shipped_stub_fields entry prefix)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 var)
  list(GET fields 1 dir)
  list(GET fields 2 arch)
  list(GET fields 3 keyed)
  list(GET fields 4 name)
  foreach(field var dir arch keyed name)
    set(${prefix}_${field} "${${field}}" PARENT_SCOPE)
  endforeach()
endfunction()

if(KV_OUTER_STUB_BUILD)
  # kv-stub makes the x86-64 stubs, kv-stub-aarch64 the aarch64 ones.
  set(kv_stubs_x86-64 "")
  set(kv_stubs_aarch64 "")
  foreach(entry IN LISTS kv_shipped_stubs)
    kv_shipped_stub_fields("${entry}" stub)
    set(${stub_var} ${CMAKE_BINARY_DIR}/${stub_dir}/kv-bootstrap)
    set(bootstrap kv-bootstrap)
    if(stub_keyed)
      set(bootstrap kv-bootstrap-keyed)
    endif()
    kv_add_shipped_stub(${CMAKE_BINARY_DIR}/${stub_dir} ${bootstrap} ${stub_keyed} ${stub_arch})
    list(APPEND kv_stubs_${stub_arch} ${${stub_var}})
  endforeach()
  add_custom_target(kv-stub ALL DEPENDS ${kv_stubs_x86-64})
  add_custom_target(kv-stub-aarch64 ALL DEPENDS ${kv_stubs_aarch64})
  # Built by make dist and by the tests of its archives, not by every build.
  set(KV_PACK_PORTABLE ${CMAKE_BINARY_DIR}/portable-pack/kv-pack)
  kv_add_portable_pack(${CMAKE_BINARY_DIR}/portable-pack x86-64)
  set(KV_PACK_PORTABLE_AARCH64 ${CMAKE_BINARY_DIR}/portable-pack-aarch64/kv-pack)
  kv_add_portable_pack(${CMAKE_BINARY_DIR}/portable-pack-aarch64 aarch64)
  add_custom_target(kv-pack-portable DEPENDS ${KV_PACK_PORTABLE} ${KV_PACK_PORTABLE_AARCH64})
else()
  set(KV_STUB $<TARGET_FILE:kv-bootstrap>)
  set(KV_STUB_KEYED $<TARGET_FILE:kv-bootstrap-keyed>)
  set(KV_STUB_AARCH64 "")
  set(KV_STUB_KEYED_AARCH64 "")
endif()
