#!/usr/bin/env python3
"""The layering check sees a forbidden include however it is spelled.

A unit compiled as if it were in text/ reads fs/path.h, once in each way an
include can name it; the check must refuse all three, and must accept a
unit that reads only what text/ may read.
"""
import argparse
import os
import subprocess
import sys
import tempfile

CASES = [  # what the unit includes, and whether the check must refuse it
    ('"../fs/path.h"', True),
    ("<fs/path.h>", True),
    ('"fs/path.h"', True),
    ('"text/string.h"', False),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--rules", required=True)
    args = parser.parse_args()
    src = os.path.realpath(args.source_dir)
    checker = os.path.join(src, "cmake", "check-layers.py")
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for spelling, refused in CASES:
            depfile = os.path.join(tmp, "unit.d")
            # Read from standard input in text/, so a relative include starts there.
            subprocess.run([args.cxx, "-std=c++20", "-I", src, "-I", os.path.join(src, "include"),
                            "-D_WIN32_WINNT=0x0601", "-DWIN32_LEAN_AND_MEAN", "-DNOMINMAX",
                            "-DUNICODE", "-D_UNICODE",
                            "-M", "-MF", depfile, "-MT", "unit.o", "-x", "c++", "-"],
                           input=f"#include {spelling}\n", text=True, check=True,
                           cwd=os.path.join(src, "text"))
            result = subprocess.run([sys.executable, checker, "--rules", args.rules,
                                     "--source-dir", src, "--target", "ka_text",
                                     "--depfile", depfile], capture_output=True, text=True)
            if (result.returncode != 0) != refused or (refused and "fs/path.h" not in result.stdout):
                failures += 1
                print(f"#include {spelling} in text/: expected "
                      f"{'a refusal naming fs/path.h' if refused else 'acceptance'}, got:\n"
                      f"{result.stdout}{result.stderr}")
    print("every spelling checked" if failures == 0 else f"{failures} spelling(s) missed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
