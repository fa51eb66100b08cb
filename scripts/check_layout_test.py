#!/usr/bin/env python3
"""Runs check_layout.py on small trees made for the purpose: each case plants
one arrow (or one table) and expects the check's exit status."""

import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_layout.py")

TABLE = """# Project

## Layout

| folder | what lives there | may depend on | its tests also use |
|---|---|---|---|
| `low/` | the bottom | nothing of ours | `testutil/` |
| `plat/a/` | a platform piece | `low/` | `testutil/` |
| `plat/b/` | another one | `low/`, `plat/a/` | `testutil/` |
| `high/` | the top | `low/`, `plat/*` | `testutil/` |
| `testutil/` | test helpers | `low/` | |

## Next section
"""

# (name, files planted beside the table, expected exit status)
CASES = [
    ("allowed arrows", {"high/x.cpp": '#include "plat/b/y.h"\n#include "low/z.h"\n'}, 0),
    ("an include inside its own folder", {"low/x.cpp": '#include "low/y.h"\n#include "y.h"\n'}, 0),
    ("a wildcard in the table", {"high/x.cpp": '#include "plat/a/y.h"\n'}, 0),
    ("an arrow upwards", {"low/x.cpp": '#include "high/y.h"\n'}, 1),
    ("a nested folder is its own", {"plat/a/x.h": '#include "plat/b/y.h"\n'}, 1),
    ("a test may use testutil", {"high/x_test.cpp": '#include "testutil/files.h"\n'}, 0),
    ("a test helper may use testutil", {"high/test_fixture.h": '#include "testutil/files.h"\n'}, 0),
    ("code may not use testutil", {"high/x.cpp": '#include "testutil/files.h"\n'}, 1),
    ("a test does not widen its folder's arrows", {"low/x_test.cpp": '#include "high/y.h"\n'}, 1),
    ("tests closing a loop are no cycle",
     {"low/x_test.cpp": '#include "testutil/y.h"\n', "testutil/y.h": '#include "low/x.h"\n'}, 0),
    ("a folder outside the table", {"other/x.cpp": "int x;\n"}, 1),
    ("an include commented out", {"low/x.cpp": '// #include "high/y.h"\n'}, 0),
]


def run(files, table=TABLE, extra_row=None):
    with tempfile.TemporaryDirectory() as root:
        readme = table if extra_row is None else table.replace("\n\n## Next", "\n" + extra_row + "\n\n## Next")
        with open(os.path.join(root, "README.md"), "w", encoding="utf-8") as f:
            f.write(readme)
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        result = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return result.returncode, result.stderr


def main():
    failures = []
    for name, files, expected in CASES:
        status, stderr = run(files)
        if status != expected:
            failures.append(f"{name}: exit {status}, expected {expected}\n{stderr}")
    # Two folders that include each other fail even when the table allows
    # both arrows.
    status, stderr = run({"low/x.cpp": '#include "loop/y.h"\n', "loop/y.h": '#include "low/x.h"\n'},
                         TABLE.replace("| nothing of ours |", "| `loop/` |"),
                         "| `loop/` | a loop | `low/` | |")
    if status != 1 or "include each other" not in stderr:
        failures.append(f"mutual includes: exit {status}, expected 1\n{stderr}")
    # The arrows come from the table: without one nothing is allowed.
    status, _ = run({"low/x.cpp": "int x;\n"}, "# Project\n\nNo table here.\n")
    if status != 2:
        failures.append(f"no table: exit {status}, expected 2")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
