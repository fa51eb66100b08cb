#!/usr/bin/env python3
"""Checks the include arrows between the top folders against the layout table
of the project's README.

Every `#include "folder/..."` from a source file in one top folder to a header
in another is an arrow. The README's layout table says, per folder, which
folders it may depend on (the folders written in backticks in its "may depend
on" column); an arrow the table does not allow fails the check, and so do two
folders that include each other and a source file in a folder the table does
not list. Tests are not part of the cycle check: a test is a program of its
own that nothing includes, so zip/'s tests may use testutil/ while testutil/
uses zip/.

Tests and their helpers (files named *_test.*, test_*.* or *_test_*.*) stand
beside the code they test: they may include what their folder may, and the
folders of the table's "its tests also use" column (testutil/ among them).

Usage: check_layout.py [ROOT]   (ROOT defaults to the repository root)
       check_layout.py --arrows [ROOT]   lists the arrows found, then checks
Exit status: 0 when every arrow is allowed, 1 otherwise, 2 when the README
has no usable layout table.
"""

import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")
SKIPPED_DIRS = {".git", "dist", "build"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
TICKED = re.compile(r"`([^`]+)`")


def folder_name(text):
    """`platform/win/` and `platform/win` name the same folder."""
    return text.strip().rstrip("/")


def read_table(readme):
    """{folder: (folders it may depend on, folders its tests also use)} from
    the README's layout section: the first table under a heading that starts
    with "Layout" and has a "may depend on" column."""
    with open(readme, encoding="utf-8") as f:
        lines = f.read().splitlines()
    in_layout = False
    columns = None
    table = {}
    for line in lines:
        if line.startswith("#"):
            if table:
                break
            in_layout = line.lstrip("#").strip().lower().startswith("layout")
            columns = None
            continue
        if not in_layout or not line.startswith("|"):
            if table and in_layout and not line.startswith("|"):
                break
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if columns is None:
            columns = [c.lower() for c in cells]
            continue
        if all(set(c) <= set("-: ") for c in cells):
            continue
        if "may depend on" not in columns:
            return {}
        def folders_in(column):
            if column not in columns or columns.index(column) >= len(cells):
                return set()
            return {folder_name(t) for t in TICKED.findall(cells[columns.index(column)])}

        for folder in [folder_name(t) for t in TICKED.findall(cells[0])]:
            table[folder] = (folders_in("may depend on"), folders_in("its tests also use"))
    # "platform/*" stands for every platform folder of the table.
    for allowed_sets in table.values():
        for allowed in allowed_sets:
            for pattern in [a for a in allowed if a.endswith("/*")]:
                allowed.discard(pattern)
                allowed.update(f for f in table if f.startswith(pattern[:-1]))
    return table


def owner(path, folders):
    """The top folder of a repository-relative path: the longest one that
    holds it (platform/win before platform), or None."""
    best = None
    for folder in folders:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def is_test(file_name):
    stem = os.path.splitext(os.path.basename(file_name))[0]
    return stem.endswith("_test") or stem.startswith("test_") or "_test_" in stem


def source_files(root):
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs
                            if d not in SKIPPED_DIRS and not d.startswith("build") and not d.startswith("."))
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def check(root, show_arrows=False):
    table = read_table(os.path.join(root, "README.md"))
    if not table:
        print("README.md: no layout table with a \"may depend on\" column", file=sys.stderr)
        return 2
    problems = []
    arrows = {}  # (from, to) -> first file that draws it
    code_arrows = {}  # the same, drawn by code that is not a test
    for path in source_files(root):
        here = owner(path, table)
        if here is None:
            problems.append(f"{path}: its folder is not in the README's layout table")
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for included in INCLUDE.findall(text):
            there = owner(folder_name(os.path.normpath(included).replace(os.sep, "/")), table)
            if there is None or there == here:
                continue
            arrows.setdefault((here, there), path)
            if not is_test(path):
                code_arrows.setdefault((here, there), path)
            may, tests_also = table[here]
            allowed = may | tests_also if is_test(path) else may
            if there not in allowed:
                kind = "a test in " if is_test(path) else ""
                problems.append(f'{path}: includes "{included}": {kind}{here}/ may not depend on {there}/')
    for (a, b), path in sorted(code_arrows.items()):
        if a < b and (b, a) in code_arrows:
            problems.append(f"{a}/ and {b}/ include each other ({path}, {code_arrows[(b, a)]})")
    if show_arrows:
        for (a, b), path in sorted(arrows.items()):
            print(f"{a} -> {b}    ({path})")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


def main(argv):
    show = "--arrows" in argv
    args = [a for a in argv if a != "--arrows"]
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return check(root, show)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
