#!/usr/bin/env python3
"""Holds the docs to the programs. Usage: docs_test.py SOURCE_DIR KV_PACK

1. Every message quoted in README.md, docs/*.md and the man pages occurs in the sources.
2. Every message the bootstrap can print is on docs/troubleshooting.md.
3. kv-pack --help and kv-pack(1) name the same options.
4. Every link between the Markdown pages leads to a page and heading that exist.

In Markdown a message is quoted in a code span or an indented block, and starts with a capital
word and a second word, or with "kv-pack: " or "... " (a part of one); commands, paths and headers
start otherwise. Placeholders are written <like this>. Fenced blocks hold recorded output
(benchmarks) and are not read. In a man page, each .TP tag under DIAGNOSTICS is a message, with
its italics as placeholders.

A quote with placeholders is a template: each text between them must be made of the sources'
string literals. A quote without them, an example, must match a template of the pages where
messages are written out in full, or be made of literals itself.
"""

import glob
import os
import re
import subprocess
import sys

SOURCE, KV_PACK = sys.argv[1], sys.argv[2]
TROUBLESHOOTING = "docs/troubleshooting.md"
HOMES = (TROUBLESHOOTING, "docs/man/kv-pack.1")
failures = []


def read(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        return f.read()


def files(pattern):
    return sorted(os.path.relpath(n, SOURCE) for n in glob.glob(os.path.join(SOURCE, pattern))
                  if "_test." not in n)


def literals(text):
    """The string literals of C++ or CMake text, adjacent ones joined; ${VARIABLE} splits one."""
    text = re.sub(r"(?m)^\s*//.*$|^#\s*(error|include).*$|static_assert\([^;]*\);", "", text)
    text = re.sub(r"'(\\.|[^'\\])'", "''", text)  # '"' starts no literal
    found, end = [], -1
    for m in re.finditer(r'"((?:[^"\\\n]|\\.)*)"', text):
        value = re.sub(r"\\(.)", lambda e: {"n": "\n", "t": "\t"}.get(e[1], e[1]), m[1])
        if found and not text[end:m.start()].strip():
            found[-1] += value
        else:
            found.append(value)
        end = m.end()
    return [piece for value in found for piece in re.split(r"\$\{\w+\}", value) if piece]


BOOTSTRAP = [f for d in ("bootstrap", "agent", "os", "formats") for f in files(d + "/*.[ch]*")]
LITERALS = {lit for path in BOOTSTRAP + files("tools/kv-pack/*.[ch]*") + ["CMakeLists.txt"] +
            files("cmake/*.cmake") for lit in literals(read(path))}


def made_of_literals(text):
    """Whether text lies in one literal, or is a literal's end, whole literals or numbers (the
    program's variables), then a literal's start: what a message put together in pieces gives."""
    if any(text in lit for lit in LITERALS):
        return True
    reach = {len(lit) - cut for lit in LITERALS for cut in range(len(lit))
             if text.startswith(lit[cut:])}
    reach.add(len(re.match(r"\d*", text)[0]))
    for at in range(1, len(text)):
        if at not in reach:
            continue
        reach.add(at + len(re.match(r"\d*", text[at:])[0]))
        reach.update(at + len(lit) for lit in LITERALS if text.startswith(lit, at))
        if any(lit.startswith(text[at:]) for lit in LITERALS):
            return True
    return len(text) in reach


def markdown_quotes(path):
    spans, fenced, previous = [], False, ""
    paragraph = []
    for number, line in enumerate(read(path).split("\n") + [""], 1):
        fenced ^= line.startswith("```")
        if fenced or line.startswith("```"):
            continue
        if line.startswith("    ") and (not previous.strip() or previous.startswith("    ")):
            spans.append((number, line.strip()))
        elif line.strip():
            paragraph.append((number, line.strip()))
        else:
            text = re.sub(r"``.*?``", "", " ".join(t for _, t in paragraph))
            spans += [(paragraph[0][0], s) for s in re.findall(r"`([^`]+)`", text)]
            paragraph = []
        previous = line
    found = []
    for number, text in spans:
        capitalised = re.match(r"[A-Z][a-z]+[ :,.]", text) and " " in text
        if capitalised or text.startswith(("kv-pack: ", "... ")):
            text = re.sub(r"^kv-pack: |^\.\.\. | \.\.\.$", "", text)
            parts = [(m[1] is not None, m[1] or m[0])
                     for m in re.finditer(r"<([^<>]+)>|[^<]+|<", text)]
            found.append((f"{path}:{number}", parts))
    return found


ROFF = {r"\-": "-", r"\(dq": '"', r"\(aq": "'", r"\e": "\\", r"\&": "", r"\%": "", r"\ ": " ",
        r"\|": ""}


def man_quotes(path):
    found, section, after_tp = [], "", False
    for number, line in enumerate(read(path).split("\n"), 1):
        section = line[4:] if line.startswith(".SH ") else section
        macro = re.match(r"\.(B|BI|IB) ", line)
        if section == "DIAGNOSTICS" and after_tp and macro:
            args = [a[1:-1].replace('""', '"') if a[0] == '"' else a
                    for a in re.findall(r'"(?:[^"]|"")*"|\S+', line[macro.end():])]
            fonts, parts = macro[1], []
            for i, arg in enumerate([" ".join(args)] if fonts == "B" else args):
                font = fonts[i % len(fonts)]
                for piece in re.split(r"(\\f[BIRP])", arg):
                    if re.fullmatch(r"\\f[BIRP]", piece):
                        font = "I" if piece == r"\fI" else "B"
                        continue
                    for escape, plain in ROFF.items():
                        piece = piece.replace(escape, plain)
                    parts += [(font == "I", piece)] if piece else []
            found.append((f"{path}:{number}", parts))
        after_tp = line.startswith(".TP") or (after_tp and line.startswith(".PD"))
    return found


# What placeholders stand for when an example is matched against a template. libcurl's texts
# differ between its releases: the page's table of them is taken as it stands.
page = read(TROUBLESHOOTING)
table = re.search(r"\n\| libcurl's text \|.*?\n\n", page, re.S)
first_cells = "".join(re.findall(r"(?m)^\|([^|]*)\|", table[0])) if table else ""
libcurl_texts = re.findall(r"`([^`]+)`", first_cells)
system_errors = {os.strerror(n) for n in range(1, 134)}
KNOWN = {"libcurl's text": libcurl_texts, "system error": system_errors}


def stands_for(name):
    if name in KNOWN:
        return "(?:" + "|".join(map(re.escape, KNOWN[name])) + ")"
    if re.search(r"url|path|dir|host|library", name, re.I):
        return r"\S+"
    if name in ("code", "n", "m", "uid"):
        return r"\d+"
    return "[0-9A-F]{16}" if name == "key id" else ".+?"


# 1. Quotes against the sources.
markdown_pages = ["README.md"] + files("docs/*.md")
quotes = [q for p in markdown_pages for q in markdown_quotes(p)]
quotes += [q for p in ("docs/man/kv-bootstrap.1", "docs/man/kv-pack.1") for q in man_quotes(p)]
templates = []
for where, parts in quotes:
    whole = "".join(t for _, t in parts)
    if any(placeholder for placeholder, _ in parts):
        if where.startswith(HOMES):
            templates.append("".join(stands_for(t) if p else re.escape(t) for p, t in parts))
        failures += [f'{where}: "{t}" of "{whole}" is in no source'
                     for p, t in parts if not p and not made_of_literals(t)]
for where, parts in quotes:
    whole = "".join(t for _, t in parts)
    if not any(p for p, _ in parts) and whole not in libcurl_texts and whole not in system_errors \
            and not made_of_literals(whole) and not any(re.fullmatch(t, whole) for t in templates):
        failures.append(f'{where}: "{whole}" is not a message of the programs')

# 2. The bootstrap's messages, piece by piece, and its failure codes on the troubleshooting page.
for path in BOOTSTRAP:
    for text in literals(read(path)):
        if len([w for w in text.split() if re.search("[A-Za-z]", w)]) < 2 or "%" in text \
                or re.search(r"(^|\s)-[a-z]", text):
            continue  # a name, a format, or a command's options
        if text.strip() not in page:
            failures.append(f'{TROUBLESHOOTING}: lacks "{text.strip()}" ({path})')
codes = {"4" + code for code in re.findall(r"= (\d+),", read("os/report.h"))}
failures += [f"{TROUBLESHOOTING}: lacks the failure code ({c})" for c in sorted(codes)
             if f"({c})" not in page]
failures += [f"{where}: ({c}) is no failure code of bootstrap/report.h" for where, parts in quotes
             for c in re.findall(r"installer \((\d+)\)", "".join(t for _, t in parts))
             if c not in codes]

# 3. The same options in kv-pack --help and in kv-pack(1).
help_text = subprocess.run([KV_PACK, "--help"], capture_output=True, text=True, check=True).stdout
in_help = {o for pair in re.findall(r"(?m)^  (-\w, )?(--[\w-]+)", help_text) for o in pair if o}
in_help = {o.rstrip(", ") for o in in_help}
options = read("docs/man/kv-pack.1").split(".SH OPTIONS", 1)[1].split("\n.SH ", 1)[0]
in_man = {o.replace("\\-", "-") for tag in re.findall(r"(?m)^\.TP\n(\.[BIR]+ \\-.*)$", options)
          for o in re.findall(r"(?:\\-)+[a-z](?:\w|\\-)*", tag)}
failures += [f"docs/man/kv-pack.1: OPTIONS lacks {o}, which kv-pack --help names"
             for o in sorted(in_help - in_man)]
failures += [f"docs/man/kv-pack.1: OPTIONS names {o}, which kv-pack --help does not"
             for o in sorted(in_man - in_help)]

# 4. Links between the pages, which say where each fact lives.
for path in markdown_pages:
    for target, anchor in re.findall(r"\]\(([^)#:]*)(?:#([^)]*))?\)", read(path)):
        linked = os.path.normpath(os.path.join(os.path.dirname(path), target)) if target else path
        if not os.path.isfile(os.path.join(SOURCE, linked)):
            failures.append(f"{path}: links to {target}, which does not exist")
        elif anchor and anchor not in {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
                                       for h in re.findall(r"(?m)^#+ (.*)$", read(linked))}:
            failures.append(f"{path}: links to {target}#{anchor}, a heading {linked} lacks")

for failure in failures:
    print(failure)
print(f"{len(quotes)} quotes, {len(templates)} in full; {len(failures)} failures")
sys.exit(1 if failures else 0)
