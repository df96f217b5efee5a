# The outer build's side of cmake/ShippedStub.cmake: the targets that run the
# inner build for each shipped stub and portable kv-pack.

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

file(GLOB kv_stub_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/os/*.h ${CMAKE_SOURCE_DIR}/formats/*.h
     ${CMAKE_SOURCE_DIR}/agent/*.h ${CMAKE_SOURCE_DIR}/bootstrap/*.h)
# What configures the inner build.
set(kv_inner_build_files CMakeLists.txt os/CMakeLists.txt formats/CMakeLists.txt
    agent/CMakeLists.txt bootstrap/CMakeLists.txt tools/kv-pack/CMakeLists.txt
    cmake/ShippedStub.cmake cmake/build_config.h.in cmake/aarch64-linux-gnu.cmake
    tools/build-stub.sh tools/stub-root.sh)
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
    DEPENDS ${inputs} ${kv_inner_stub_sources} ${kv_stub_headers} ${kv_inner_build_files}
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
    DEPENDS ${inputs} ${kv_stub_headers} ${kv_pack_headers} ${kv_inner_build_files}
    COMMENT "Building the portable ${arch} kv-pack in the Debian 11 root (${out_dir})"
    VERBATIM)
endfunction()

# Every shipped stub, one entry each, from the rows of the architecture table
# (formats/arch.h): the variable that names its file, the build directory it
# is made in, its architecture, whether it is keyed, and the name the install
# rules give it in lib/kv-bootstrap/, where kv-pack looks for it.
set(kv_shipped_stubs "")
file(STRINGS ${CMAKE_SOURCE_DIR}/formats/arch.h kv_arch_rows
     REGEX "^ *[{]\"[^\"]+\", EM_[A-Z0-9_]+,")
foreach(row IN LISTS kv_arch_rows)
  if(NOT row MATCHES "^ *[{]\"([^\"]+)\", EM_[A-Z0-9_]+, \"[^\"]+\", \"([^\"]+)\", \"([^\"]+)\", \"([^\"]+)\", \"([^\"]+)\"[}],$")
    message(FATAL_ERROR "formats/arch.h: a row of the architecture table is not on one line of its form: ${row}")
  endif()
  set(arch ${CMAKE_MATCH_1})
  foreach(kind "${CMAKE_MATCH_2}|${CMAKE_MATCH_4}|OFF" "${CMAKE_MATCH_3}|${CMAKE_MATCH_5}|ON")
    string(REPLACE "|" ";" fields "${kind}")
    list(GET fields 0 name)
    list(GET fields 1 dir)
    list(GET fields 2 keyed)
    string(TOUPPER "KV_${dir}" var)
    string(REPLACE "-" "_" var "${var}")
    list(APPEND kv_shipped_stubs "${var}|${dir}|${arch}|${keyed}|${name}")
  endforeach()
endforeach()
if(NOT kv_shipped_stubs)
  message(FATAL_ERROR "formats/arch.h: no row of the architecture table was read")
endif()

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
  # What make dist puts in each machine's archive: MACHINE=KV_PACK.
  set(kv_dist_packs x86_64=${KV_PACK_PORTABLE} aarch64=${KV_PACK_PORTABLE_AARCH64})
else()
  set(KV_STUB $<TARGET_FILE:kv-bootstrap>)
  set(KV_STUB_KEYED $<TARGET_FILE:kv-bootstrap-keyed>)
  set(KV_STUB_AARCH64 "")
  set(KV_STUB_KEYED_AARCH64 "")
endif()
