#!/usr/bin/env python3
"""Holds the docs to the programs. Usage: docs_test.py SOURCE_DIR KV_PACK [DOCS_DIR]

1. Every message quoted in README.md, docs/*.md and the man pages occurs in the sources.
2. Every message the bootstrap can print is on docs/troubleshooting.md.
3. kv-pack --help and kv-pack(1) name the same options.
4. Every link between the Markdown pages (README.md, docs/*.md, THIRD-PARTY.md, CHANGELOG.md)
   leads to a page and heading that exist.
5. The numbers, names and paths the pages state (limits, sizes, the agent URL, the cache layout,
   kv-pack's defaults) are those of the code: each is found by the name of its constant, or of
   the function that holds it, wherever the tracked sources define it (git grep), and each way
   the pages state it must occur at least once. The cache's URL hash in the example is computed.
   CHANGELOG.md tells history and is held to nothing but its links.
6. The libraries the Debian package's kv-pack loads (KV_PACK's NEEDED entries) are named where
   docs/packaging.md says what it needs.

The pages are read from DOCS_DIR (by default SOURCE_DIR), so that a copy of them with a fault put
in shows that the check catches it (tests/docs_faults_test.sh).

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
DOCS = sys.argv[3] if len(sys.argv) > 3 else SOURCE
TROUBLESHOOTING = "docs/troubleshooting.md"
HOMES = (TROUBLESHOOTING, "docs/man/kv-pack.1")
MAN_PAGES = ("docs/man/kv-bootstrap.1", "docs/man/kv-pack.1")
failures = []


def read(path, root=SOURCE):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


def page_text(path):
    return read(path, DOCS)


def files(pattern, root=SOURCE):
    return sorted(os.path.relpath(n, root) for n in glob.glob(os.path.join(root, pattern))
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
            files("*/CMakeLists.txt") + files("tools/*/CMakeLists.txt") +
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
    for number, line in enumerate(page_text(path).split("\n") + [""], 1):
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
    for number, line in enumerate(page_text(path).split("\n"), 1):
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
page = page_text(TROUBLESHOOTING)
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
markdown_pages = ["README.md"] + files("docs/*.md", DOCS)
quotes = [q for p in markdown_pages for q in markdown_quotes(p)]
quotes += [q for p in MAN_PAGES for q in man_quotes(p)]
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
failures += [f"{where}: ({c}) is no failure code of os/report.h" for where, parts in quotes
             for c in re.findall(r"installer \((\d+)\)", "".join(t for _, t in parts))
             if c not in codes]

# 3. The same options in kv-pack --help and in kv-pack(1).
help_text = subprocess.run([KV_PACK, "--help"], capture_output=True, text=True, check=True).stdout
in_help = {o for pair in re.findall(r"(?m)^  (-\w, )?(--[\w-]+)", help_text) for o in pair if o}
in_help = {o.rstrip(", ") for o in in_help}
options = page_text("docs/man/kv-pack.1").split(".SH OPTIONS", 1)[1].split("\n.SH ", 1)[0]
in_man = {o.replace("\\-", "-") for tag in re.findall(r"(?m)^\.TP\n(\.[BIR]+ \\-.*)$", options)
          for o in re.findall(r"(?:\\-)+[a-z](?:\w|\\-)*", tag)}
failures += [f"docs/man/kv-pack.1: OPTIONS lacks {o}, which kv-pack --help names"
             for o in sorted(in_help - in_man)]
failures += [f"docs/man/kv-pack.1: OPTIONS names {o}, which kv-pack --help does not"
             for o in sorted(in_man - in_help)]

# 4. Links between the pages, which say where each fact lives.
for path in markdown_pages + ["THIRD-PARTY.md", "CHANGELOG.md"]:
    for target, anchor in re.findall(r"\]\(([^)#:]*)(?:#([^)]*))?\)", page_text(path)):
        linked = os.path.normpath(os.path.join(os.path.dirname(path), target)) if target else path
        if not os.path.isfile(os.path.join(DOCS, linked)):
            failures.append(f"{path}: links to {target}, which does not exist")
        elif anchor and anchor not in {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
                                       for h in re.findall(r"(?m)^#+ (.*)$", page_text(linked))}:
            failures.append(f"{path}: links to {target}#{anchor}, a heading {linked} lacks")

# 5. Numbers, names and paths against the code, found by name wherever the sources are moved.
def tracked(pattern, context=0):
    """The lines of the tracked C++ sources (tests left out) that match the extended regex."""
    # Only read: whoever owns the checkout, it is searched.
    found = subprocess.run(["git", "-c", "safe.directory=*", "-C", SOURCE, "grep", "-h",
                            f"-A{context}", "-E", pattern, "--",
                            "*.h", "*.cc", ":!*_test.cc", ":!fuzz/"],
                           capture_output=True, text=True)
    if found.returncode > 1:
        sys.exit(f"docs_test: git grep in {SOURCE} failed: {found.stderr.strip()}")
    return found.stdout


def constant(name):
    """Every value the sources define name with: a constant or a macro, its string literals and
    macros joined, its arithmetic on other constants worked out."""
    values = []
    for line in tracked(rf"(const|constexpr)\b.*\b{name}\b(\[\])?\s*=[^=]|#define {name}\b").splitlines():
        expr = re.split(rf"\b{name}\b(?:\[\])?\s*=|#define {name}\b", line, 1)[1]
        expr = expr.split("//")[0].strip().rstrip(";").strip()
        if '"' in expr:
            values.append("".join(lit if lit or not macro else constant(macro)[0] for lit, macro
                                  in re.findall(r'"((?:[^"\\]|\\.)*)"|\b([A-Z][A-Z0-9_]+)\b', expr)))
        else:
            expr = re.sub(r"\b\w+_t\{(\w+)\}", r"\1", expr)
            expr = re.sub(r"\b(0x[0-9a-fA-F]+|\d+)[uUlL]*\b", r"\1", expr)
            expr = re.sub(r"\bk[A-Z]\w*", lambda m: str(constant(m[0])[0]), expr)
            values.append(eval(expr, {"__builtins__": {}}))  # digits, names resolved, operators
    if not values:
        failures.append(f"no tracked source defines {name}")
        values.append(None)
    return values


def body(function):
    """The definition of function, found by its name: up to the closing brace at its indent."""
    text = tracked(rf"^([A-Za-z].*[ *&])?{function}\([^;]*\)\s*(const\s*)?\{{", 40)
    return text.split("\n}")[0] if text else failures.append(f"no tracked source defines {function}()")


def words(n):
    return "zero one two three four five six seven eight nine ten".split()[n]


release = constant("kReleaseLabel")[0]
work_dir = literals(body("TempInstallDir::TempInstallDir") or "")[0]
# The default architecture: the entry of its table that defaultArch() returns, by name.
table, index = re.search(r"return (\w+)\[(\d+)\]", body("defaultArch") or "return x[0]").groups()
entries = tracked(rf"\b{table}\b(\[\])?\s*=\s*\{{", 20).split("};")[0]
default_arch = re.findall(r'\{"([^"]+)"', entries)[int(index)]
platforms = set(re.findall(r'\{"[^"]+", \w+, "([^"]+)"', entries))
# (what the pages say, the value the code gives, the ways the pages state it)
FACTS = [
    ("the connect limit", constant("kConnectTimeoutSeconds")[0], [r"within (\d+) seconds"]),
    ("the stall limit", constant("kStallTimeoutSeconds")[0],
     [r"(?:nothing|no byte|came) for (\d+) seconds"]),
    ("the redirect limit", constant("kMaxRedirects")[0],
     [r"(?:at most|[Mm]ore than) (\d+) (?:redirects|end the run)"]),
    ("the agent URL's room", constant("kAgentBaseUrlSlotBytes")[0] - 1,
     [r"may be at most (\d+) bytes"]),
    ("the record's slots", (constant("kAgentBaseUrlSlotBytes")[0], constant("kAgentKeySlotBytes")[0]),
     [r"the key \((\d+) and (\d+) bytes\)"]),
    ("the signature file's size", constant("kMaxSignatureFileBytes")[0],
     [r"longer than ([\d,]+) bytes", r"a file of at most ([\d,]+) bytes"]),
    ("a comment's size", constant("kMaxCommentBytes")[0], [r"comments of at most ([\d,]+) bytes"]),
    ("the agent's size limit", constant("kMaxAgentBytes")[0] // 2**30,
     [r"larger than (\d+) GiB", r"may be at most (\d+) GiB"]),
    ("the agent's size limit in bytes", constant("kMaxAgentBytes")[0], [r"GiB\*\* \(([\d,]+) bytes\)"]),
    ("the retries", constant("kMaxRetries")[0], [r"tried (\d+) more times"]),
    ("the waits between tries", (constant("kFirstRetryDelaySeconds")[0],
                                 constant("kSecondRetryDelaySeconds")[0]),
     [r"after (\d+) and (\d+) seconds"]),
    ("the longest wait a server may ask for", constant("kMaxRetryAfterSeconds")[0],
     [r"of up to (\d+) seconds"]),
    ("the command line", constant("kMaxCommandLineBytes")[0],
     [r"takes at most ([\d,]+) bytes", r"the ([\d,]+) bytes the kernel takes"]),
    ("the command line in KiB", constant("kMaxCommandLineBytes")[0] // 1024,
     [r"may not exceed (\d+) KiB"]),
    ("a key line", constant("kKeyLineLength")[0], [r"(\d+) (?:base64 )?characters,? starting with"]),
    ("SOURCE_DATE_EPOCH", constant("kMaxZipTime")[0], [r"at most (\d{10})"]),
    ("the release label", release,
     [r"pi_install_agent_pi_(\w+?)_tux", r"installagent/(\w+)/", r"`(\w+)` is the release label"]),
    ("the agent's name", literals(body("agentUrlFor") or "")[0].strip("/"),
     [r"/(pi_[a-z_]+_pi_)V"]),
    ("the platform", platforms, [r"pi_install_agent_pi_\w+?_(tux[a-z0-9]+)",
                                 r"installagent/\w+/(tux[a-z0-9]+)/", r"\((tux[a-z0-9]+)\)"]),
    ("the cache's directory", literals(body("buildAgentPaths") or "")[0].strip("/"),
     [r"~/(\.\w+)/installagent", r"/tmp/(\.\w+)"]),
    ("the agent's directory", constant("kAgentDirName")[0], [r"\.korvex/(\w+)/"]),
    ("the tag's file", constant("kValidateFileName")[0], [r"(\.validate\w*)"]),
    ("the lock file", constant("kLockFileName")[0],
     [r"lock file \(`(\.\w+)`\)", r"the file `(\.\w+)` in the cache root"]),
    ("the signing time's file", constant("kSigningTimeFileName")[0], [r"(\.signing\w*)"]),
    ("a URL's cache", literals(body("agentSourceDirName") or "")[0],
     [r"/(\w+-) ?(?:<hash>|HASH|[0-9a-f]{16}/)"]),
    ("a key's cache", constant("kKeyedCachePrefix")[0],
     [r"/(\w+-) ?(?:<key id>|KEYID|[0-9A-F]{16}/)"]),
    ("the work directory", work_dir.rstrip("X"), [r"(/tmp/\w+)`? followed by"]),
    ("its random part", words(len(work_dir) - len(work_dir.rstrip("X"))),
     [r"followed by (\w+) random characters"]),
    ("kv-pack's default --arch", default_arch,
     [r"(\S+) \(the default\)", r"or with `--arch (\S+)`\)"]),
]


def prose(path):
    """A page's text as read, roff's macros and escapes taken out, blanks and line ends as one."""
    text = page_text(path)
    if path.endswith(".1"):
        text = re.sub(r"(?m)^\.[A-Za-z]+ ?", "", text).replace('"', "")
        text = re.sub(r"\\f[BIRP]|\\[&%|]", "", text).replace("\\-", "-")
    return re.sub(r"\s+", " ", text)


pages = {p: prose(p) for p in markdown_pages + list(MAN_PAGES)}
for what, value, patterns in FACTS:
    for pattern in patterns:
        found = [(path, m.groups() if len(m.groups()) > 1 else m[1])
                 for path, text in pages.items() for m in re.finditer(pattern, text)]
        if not found:
            failures.append(f"no page states {what} as /{pattern}/; reword the check with the page")
        for path, stated in found:
            as_number = [int(g.replace(",", "")) if re.fullmatch(r"[\d,]+", g) else g
                         for g in (stated if isinstance(stated, tuple) else (stated,))]
            as_number = tuple(as_number) if isinstance(stated, tuple) else as_number[0]
            if as_number != value and not (isinstance(value, set) and as_number in value):
                failures.append(f"{path}: states {what} as {stated}, the code as {value}")

# The cache of the example URL is named by the code's hash of it.
offset, prime = re.findall(r"0x[0-9a-fA-F]+", body("stableHashText") or "0x0 0x0")[:2]
for path, text in pages.items():
    for url, stated in re.findall(r"whose agent URL is `([^`]+)`, the root is `[^`]*url-(\w+)/`",
                                  text):
        digest = int(offset, 16)
        for byte in url.encode():
            digest = ((digest ^ byte) * int(prime, 16)) % 2**64
        if stated != f"{digest:016x}":
            failures.append(f"{path}: names the cache of {url} url-{stated}, the code url-{digest:016x}")

# 6. What the Debian package's kv-pack loads, as packaging.md says.
needed = re.findall(r"\(NEEDED\).*\[(.*)\]",
                    subprocess.run(["readelf", "-dW", KV_PACK], capture_output=True, text=True).stdout)
# A sanitized build's kv-pack also loads the sanitizers' runtimes and what they need; no
# package is made of it, and the unsanitized build holds the page to the one that is.
runtimes = {name: path for name, path in re.findall(r"^\s*(lib(?:asan|ubsan)\.so\S*) => (\S+)",
                                                    subprocess.run(["ldd", KV_PACK], capture_output=True,
                                                                   text=True).stdout, re.M)}
brought = set(runtimes)
for path in runtimes.values():
    brought.update(re.findall(r"\(NEEDED\).*\[(.*)\]", subprocess.run(
        ["readelf", "-dW", path], capture_output=True, text=True).stdout))
needed = [n for n in needed if n not in brought]
where = pages["docs/packaging.md"].split("The `kv-pack` of the Debian package", 1)[-1][:800]
failures += [f"docs/packaging.md: does not say that the Debian package's kv-pack loads {n}"
             for n in needed if f"`{n}`" not in where]

for failure in failures:
    print(failure)
print(f"{len(quotes)} quotes, {len(templates)} in full; {len(failures)} failures")
sys.exit(1 if failures else 0)
