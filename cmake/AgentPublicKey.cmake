# Reads the vendor's minisign public key, the base64 line of minisign.pub:
# 56 characters that decode to "Ed", an 8-byte key id and a 32-byte Ed25519
# key. Fails the configure step on anything else.
#
#   kv_parse_agent_public_key(KEY KEY_ID_VAR)
# sets KEY_ID_VAR to the key id as minisign prints it (16 hex digits).

set(kv_base64_alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
set(kv_hex_digits "0123456789ABCDEF")

function(kv_hex_byte value out)
  math(EXPR high "${value} >> 4")
  math(EXPR low "${value} & 15")
  string(SUBSTRING "${kv_hex_digits}" ${high} 1 h)
  string(SUBSTRING "${kv_hex_digits}" ${low} 1 l)
  set(${out} "${h}${l}" PARENT_SCOPE)
endfunction()

function(kv_parse_agent_public_key key key_id_var)
  set(why "")
  string(LENGTH "${key}" length)
  if(NOT length EQUAL 56)
    set(why "it has ${length} characters instead of 56")
  elseif(NOT key MATCHES "^[A-Za-z0-9+/]+$")
    set(why "it holds characters outside base64")
  endif()
  if(why STREQUAL "")
    set(bytes "")
    foreach(group RANGE 0 52 4)
      set(value 0)
      foreach(i RANGE 0 3)
        math(EXPR at "${group} + ${i}")
        string(SUBSTRING "${key}" ${at} 1 c)
        string(FIND "${kv_base64_alphabet}" "${c}" digit)
        math(EXPR value "(${value} << 6) | ${digit}")
      endforeach()
      math(EXPR b0 "(${value} >> 16) & 255")
      math(EXPR b1 "(${value} >> 8) & 255")
      math(EXPR b2 "${value} & 255")
      list(APPEND bytes ${b0} ${b1} ${b2})
    endforeach()
    list(GET bytes 0 first)
    list(GET bytes 1 second)
    # "Ed": minisign's only public key algorithm, Ed25519.
    if(NOT first EQUAL 69 OR NOT second EQUAL 100)
      set(why "it does not start with the algorithm \"Ed\" (a minisign public key starts with RW)")
    endif()
  endif()
  if(NOT why STREQUAL "")
    message(FATAL_ERROR "KV_AGENT_PUBLIC_KEY is not a minisign public key: ${why}. Give the "
                        "second line of minisign.pub (56 base64 characters, starting with RW).")
  endif()

  # minisign prints the id as a little-endian number: byte 9 first.
  set(key_id "")
  foreach(i RANGE 9 2 -1)
    list(GET bytes ${i} b)
    kv_hex_byte(${b} hex)
    string(APPEND key_id "${hex}")
  endforeach()
  set(${key_id_var} "${key_id}" PARENT_SCOPE)
endfunction()
