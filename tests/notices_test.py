#!/usr/bin/env python3
"""Holds THIRD-PARTY.md and the copyright file to the shipped programs.

Usage: notices_test.py SOURCE_DIR COPYRIGHT PATH=FILE...

PATH is a program as THIRD-PARTY.md's table and the copyright file name it (bin/kv-pack of a
release archive, usr/bin/kv-pack of the Debian package, lib/kv-bootstrap/...), FILE the built
program. What each carries is read from the file itself: libsodium by the source paths its
assertions keep, zlib by the CRC-32 table, the C++ runtime by whether libstdc++.so.6 is loaded;
what it loads by its NEEDED entries (the dynamic loader left out, libcurl by name, as it is
loaded when needed). Its row of the table must list exactly that, and the last Files paragraph of
the copyright file that matches PATH must name the licence of each part; every licence named has
its text there.
"""

import fnmatch
import re
import struct
import subprocess
import sys

SOURCE, COPYRIGHT, PROGRAMS = sys.argv[1], sys.argv[2], sys.argv[3:]
ALWAYS = {"GCC runtime", "glibc start-up code"}
LICENCES = {"libsodium": {"ISC", "BSD-2-clause"}, "zlib": {"Zlib"},
            "GCC runtime": {"GPL-3+ with GCC-runtime-library exception"},
            "glibc start-up code": {"LGPL-2.1+ with glibc-link exception"}}
CRC_TABLE = struct.pack("<4I", 0, 0x77073096, 0xEE0E612C, 0x990951BA)
failures = []


def measured(path):
    data = open(path, "rb").read()
    dynamic = subprocess.run(["readelf", "-dW", path], capture_output=True, text=True).stdout
    loads = set(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic)) - {
        "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
    loads |= {n.decode() for n in re.findall(rb"libcurl(?:-gnutls)?\.so\.4", data)}
    linked = set(ALWAYS)
    linked |= {"libsodium"} if b"src/libsodium/" in data else set()
    linked |= {"zlib"} if CRC_TABLE in data and "libz.so.1" not in loads else set()
    return linked, loads


# The table: a row per group of programs, each named in a code span.
text = open(f"{SOURCE}/THIRD-PARTY.md", encoding="utf-8").read()
rows, loaded = {}, set()
for line in re.findall(r"(?m)^\| (`.*)$", text):
    cells = [c.strip() for c in line.split("|")]
    if cells[2] != "the same":
        loaded = set(re.findall(r"`(lib[^`]+\.so[.\d]*)`", cells[2]))
    for name in re.findall(r"`([^`]+)`", cells[0]):
        rows[name] = ({p.strip() for p in cells[1].split(";")}, loaded)

# The copyright file: paragraphs of fields, continuation lines indented.
paragraphs = []
for block in open(COPYRIGHT, encoding="utf-8").read().strip().split("\n\n"):
    fields = dict(re.findall(r"(?m)^([A-Za-z-]+): ?(.*)$", block))
    paragraphs.append(fields)
if not paragraphs[0].get("Format", "").endswith("/copyright-format/1.0/"):
    failures.append(f"{COPYRIGHT}: no Format line of the machine-readable format first")
texts = {p["License"] for p in paragraphs[1:] if "Files" not in p}
named = {n for p in paragraphs if "Files" in p for n in p["License"].split(" and ")}
failures += [f"{COPYRIGHT}: no text for the licence {n}" for n in sorted(named - texts)]

for program in PROGRAMS:
    path, file = program.split("=", 1)
    linked, loads = measured(file)
    row = rows.get(path) or rows.get("/" + path)
    if row is None:
        failures.append(f"THIRD-PARTY.md: no row for {path}")
    else:
        said = {"libsodium" if "libsodium" in p else p for p in row[0]}
        if said != linked:
            failures.append(f"THIRD-PARTY.md: {path} carries {sorted(linked)}, not {sorted(said)}")
        if row[1] != loads:
            failures.append(f"THIRD-PARTY.md: {path} loads {sorted(loads)}, not {sorted(row[1])}")
    matches = [p for p in paragraphs if any(fnmatch.fnmatchcase(path, f)
                                            for f in p.get("Files", "").split())]
    licence = set(matches[-1]["License"].split(" and ")) if matches else set()
    wanted = {"0BSD"}.union(*(LICENCES[part] for part in linked))
    if licence != wanted:
        failures.append(f"{COPYRIGHT}: {path} is under {sorted(licence)}, not {sorted(wanted)}")

for failure in failures:
    print(failure)
print(f"{len(PROGRAMS)} programs; {len(failures)} failures")
sys.exit(1 if failures else 0)
