#!/usr/bin/env python3
"""Keeps README.md's table of the launcher's errors whole: every "Error, ..."
message that the launcher's sources can print has a row, and every row is a
message that the sources still print. The sources are read as the tree holds
them at test time, so a message added anywhere is checked without a list here.

What counts as a message: each string literal that begins with "Error, " in a
non-test source (*.cpp, *.h, not *_test.cpp) of launcher/, payload/, paths/,
shutdown/ and common/. Comments are skipped; adjacent literals are joined, as
the compiler joins them.

How a message and a row match (the row's first column, inside its quotes):
  - C escapes are undone and the trailing line feed of a print_error format
    dropped;
  - each printf conversion ('%ls', '%lu', ...) stands for any text, which the
    table writes as "...": "refusing to unpack '%ls'" matches "refusing to
    unpack '...'";
  - a message passed straight to report_system_error is printed with the
    error code and the system's text in parentheses after it, so it matches
    a row made of the message, " (" and any text ending in ")": "Error, load
    DLL." matches "Error, load DLL. ([Error 126] ...)"; one passed to
    report_system_error_about has a quoted path between the two:
    "Error, couldn't create the extraction directory '...' (...)".

    check_error_table.py SOURCE_DIR
"""
import os
import re
import sys

FOLDERS = ("launcher", "payload", "paths", "shutdown", "common")
SECTION = "### The launcher's errors"

# A C++ source split into what matters here: comments, string and character
# literals (with an optional encoding prefix), and everything else.
TOKEN = re.compile(
    r"""(?P<comment>//[^\n]*|/\*.*?\*/)"""
    r"""|(?P<string>(?:u8|[uUL])?"(?:[^"\\\n]|\\.)*")"""
    r"""|(?P<char>(?:u8|[uUL])?'(?:[^'\\\n]|\\.)*')"""
    r"""|(?P<other>[^/"'uUL]+|.)""",
    re.S,
)
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "?": "?", "0": "\0"}
# A printf conversion, or "%%" for a percent sign.
FORMAT_ITEM = re.compile(r"%%|%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|L|z|j|t|I64|I32|I)?[diouxXeEfgGaAcsSpn]")


def unescaped(body):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), body)


def messages_of(text):
    """(message, called function) for each "Error, " literal of a source."""
    found = []
    literal, callee, before = None, None, ""
    for token in TOKEN.finditer(text):
        kind = token.lastgroup
        if kind == "comment":
            continue
        if kind == "string":
            body = unescaped(token.group()[token.group().index('"') + 1 : -1])
            if literal is None:
                call = re.search(r"(\w+)\s*\(\s*$", before)
                literal, callee = body, call.group(1) if call else None
            else:
                literal += body
            continue
        if kind == "other" and token.group().isspace():
            continue
        if literal is not None and literal.startswith("Error, "):
            found.append((literal, callee))
        literal = None
        before = (before + token.group())[-200:]
    if literal is not None and literal.startswith("Error, "):
        found.append((literal, callee))
    return found


def launcher_messages(root):
    messages = {}
    for folder in FOLDERS:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")) or name.endswith("_test.cpp"):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8") as source:
                    for message, callee in messages_of(source.read()):
                        messages.setdefault((message, callee), os.path.relpath(path, root))
    return messages


def table_rows(root):
    with open(os.path.join(root, "README.md"), encoding="utf-8") as readme:
        lines = readme.read().splitlines()
    if SECTION not in lines:
        return None
    rows = []
    for line in lines[lines.index(SECTION) + 1 :]:
        if line.startswith("#"):
            break
        cells = re.split(r"(?<!\\)\|", line)
        if len(cells) > 2 and cells[0].strip() == "":
            first = cells[1].strip()
            if len(first) >= 2 and first[0] == first[-1] == '"':
                rows.append(first[1:-1])
    return rows


# What the reporting functions print after the message.
SYSTEM_TEXT_ROWS = {"report_system_error": " (...)", "report_system_error_about": " '...' (...)"}
SYSTEM_TEXT_PATTERNS = {"report_system_error": r" \(.*\)", "report_system_error_about": r" '\.\.\.' \(.*\)"}


def as_row(message, callee):
    """The message as its row writes it: "..." for each conversion."""
    text = message[:-1] if message.endswith("\n") else message
    row = FORMAT_ITEM.sub(lambda item: "%" if item.group() == "%%" else "...", text)
    return row + SYSTEM_TEXT_ROWS.get(callee, "")


def row_pattern(message, callee):
    text = message[:-1] if message.endswith("\n") else message
    pattern, at = "", 0
    for item in FORMAT_ITEM.finditer(text):
        pattern += re.escape(text[at : item.start()]) + ("%" if item.group() == "%%" else re.escape("..."))
        at = item.end()
    pattern += re.escape(text[at:])
    pattern += SYSTEM_TEXT_PATTERNS.get(callee, "")
    return re.compile(pattern)


def main():
    root = sys.argv[1]
    messages = launcher_messages(root)
    rows = table_rows(root)
    if not messages:
        print("FAIL: no \"Error, \" message found in " + ", ".join(FOLDERS) + ": the search is broken")
        return 1
    if not rows:
        print(f"FAIL: README.md has no table of messages under {SECTION!r}")
        return 1
    patterns = {key: row_pattern(*key) for key in messages}
    missing = [key for key, pattern in patterns.items() if not any(pattern.fullmatch(row) for row in rows)]
    stale = [row for row in rows if not any(pattern.fullmatch(row) for pattern in patterns.values())]
    for message, callee in missing:
        print(f'FAIL: {messages[(message, callee)]}: "{as_row(message, callee)}" has no row in README.md\'s table')
    for row in stale:
        print(f'FAIL: README.md\'s table has "{row}", which no launcher source prints')
    if missing or stale:
        return 1
    print(f"error table OK: {len(messages)} messages, {len(rows)} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
