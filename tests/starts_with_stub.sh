# Sourced by the script tests: starts_with_stub STUB PACKAGE is true when the
# package starts with the stub, byte for byte but for the two size slots of
# the record, which kv-pack fills in its copy (package-length and
# unpacked-size, 21 bytes each after their "key=").
starts_with_stub() {
  length_at=$(grep -obUa "package-length=" "$1" | head -n 1 | cut -d: -f1)
  unpacked_at=$(grep -obUa "unpacked-size=" "$1" | head -n 1 | cut -d: -f1)
  [ -n "$length_at" ] && [ -n "$unpacked_at" ] || return 1
  # cmp -l counts from 1 and fails on a shorter package with "EOF".
  cmp -l -n "$(wc -c <"$1")" "$1" "$2" 2>&1 |
    awk -v a=$((length_at + 16)) -v b=$((unpacked_at + 15)) '
      $1 !~ /^[0-9]+$/ || (($1 < a || $1 >= a + 21) && ($1 < b || $1 >= b + 21)) { other = 1 }
      END { exit other }'
}
