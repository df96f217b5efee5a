#!/bin/sh
# The docs check (tests/docs_test.py) catches what it is there for: each row
# puts one fault into a copy of the pages and expects the check to fail,
# naming it. README.md is held like every other page.
#
# usage: docs_faults_test.sh SOURCE_DIR KV_PACK PYTHON3
set -u
src=$1 pack=$2 python=$3

. "$(dirname "$0")/lib.sh"

# The pages as they are pass.
quietly "the check of the pages as they are" "$python" "$src/tests/docs_test.py" "$src" "$pack"

# planted NAME PAGE SED-SCRIPT EXPECTED: the check of the pages, PAGE changed
# by SED-SCRIPT, fails and prints a line holding EXPECTED.
planted() {
  rm -rf "$scratch/pages"
  mkdir -p "$scratch/pages/docs"
  cp "$src/README.md" "$src/THIRD-PARTY.md" "$src/CHANGELOG.md" "$src/LICENSE" "$scratch/pages/"
  cp -R "$src/docs/." "$scratch/pages/docs/"
  sed "$3" "$src/$2" >"$scratch/pages/$2"
  ! cmp -s "$src/$2" "$scratch/pages/$2" || fail "$1: the fault changes nothing in $2"
  ! "$python" "$src/tests/docs_test.py" "$src" "$pack" "$scratch/pages" >"$scratch/out" 2>&1 ||
    fail "$1: the check passes"
  grep -qF "$4" "$scratch/out" || fail "$1: no \"$4\" in:
$(cat "$scratch/out")"
}

planted "a message the README makes up" README.md \
  '/^    make test /a\
\
    Installation finished with warnings.' \
  'is not a message of the programs'
planted "a README link to a missing heading" README.md \
  's|docs/hosting.md#the-files-to-serve|docs/hosting.md#the-files-to-host|' \
  'README.md: links to docs/hosting.md#the-files-to-host, a heading'
planted "a limit the README states wrongly" README.md \
  's|^which brings `zip` and `unzip` along.|& A run waits at most 31 redirects.|' \
  'README.md: states the redirect limit as 31'
planted "another release label" docs/hosting.md '0,/V7031c/s//V7032c/' \
  'docs/hosting.md: states the release label as V7032c'
planted "a cache name the hash does not give" docs/safety.md \
  '0,/url-ed7a98b13e2c66a3/s//url-ed7a98b13e2c66a4/' 'names the cache of'
planted "a stall limit in the man page" docs/man/kv-bootstrap.1 \
  's/for 60 seconds/for 90 seconds/' 'kv-bootstrap.1: states the stall limit as 90'
planted "another work directory" docs/troubleshooting.md 's/six random/eight random/' \
  'states its random part as eight'
planted "a library of kv-pack left out" docs/packaging.md 's/ and `libz.so.1`//' \
  'loads libz.so.1'
planted "a stated limit reworded" docs/safety.md 's/comments of at most/comments up to/' \
  "no page states a comment's size"
echo "docs_faults_test: ok"
