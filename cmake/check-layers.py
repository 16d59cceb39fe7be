#!/usr/bin/env python3
"""Checks the library's layering against what the compiler really read.

Every object of a subsystem may read headers of the folders that subsystem
declares (its own included) and of no other library folder, however the
include was spelled ("../fs/path.h", <fs/path.h>, "fs/path.h") and whichever
header pulled it in. The headers each object read come from the compiler's
dependency output, which Ninja keeps in its deps log.

  check-layers.py --rules RULES --source-dir DIR --build-dir DIR
      RULES: one line per target, "<target> <folder> <allowed folder>...",
      written by CMake from the subsystem targets.
  check-layers.py --rules RULES --source-dir DIR --target T --depfile FILE
      checks one compiler dependency file (`g++ -M` output) as an object of T.
"""
import argparse
import os
import subprocess
import sys


def read_rules(path):
    rules = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if words:
                rules[words[0]] = (words[1], set(words[1:]))
    return rules


def violations(source_dir, folders, allowed, headers):
    """The library headers among `headers` that lie in a folder not allowed."""
    source_dir = os.path.realpath(source_dir)
    found = []
    for header in headers:
        path = os.path.realpath(header)
        if not path.startswith(source_dir + os.sep):
            continue
        folder = os.path.relpath(path, source_dir).split(os.sep)[0]
        if folder in folders and folder not in allowed:
            found.append(os.path.relpath(path, source_dir))
    return found


def deps_log(build_dir):
    """{object: [headers]} from Ninja's deps log."""
    out = subprocess.run(["ninja", "-C", build_dir, "-t", "deps"], check=True,
                         capture_output=True, text=True).stdout
    objects, current = {}, None
    for line in out.splitlines():
        if line and not line.startswith(" "):
            current = line.split(":")[0]
            objects[current] = []
        elif line.strip() and current is not None:
            objects[current].append(line.strip())
    return objects


def depfile_headers(path):
    text = open(path).read().replace("\\\n", " ")
    return text.split(":", 1)[1].split() if ":" in text else []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rules", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir")
    parser.add_argument("--target")
    parser.add_argument("--depfile")
    args = parser.parse_args()
    rules = read_rules(args.rules)
    folders = {folder for folder, _ in rules.values()}
    if args.depfile:
        units = {args.target: depfile_headers(args.depfile)}
        owner = {args.target: args.target}
    else:
        units = deps_log(args.build_dir)
        owner = {}
        for obj in units:
            parts = obj.split("/")
            if len(parts) > 2 and parts[0] == "CMakeFiles" and parts[1].endswith(".dir"):
                owner[obj] = parts[1][:-len(".dir")]
    checked, errors = 0, []
    for obj, headers in units.items():
        target = owner.get(obj)
        if target not in rules:
            continue
        checked += 1
        folder, allowed = rules[target]
        for header in violations(args.source_dir, folders, allowed, headers):
            errors.append(f"  {obj}: {header} ({folder} may read only: "
                          f"{' '.join(sorted(allowed))})")
    if checked == 0:
        print("no object of a layered target was found: nothing was checked")
        return 1
    if errors:
        print("layering violations:\n" + "\n".join(errors))
        return 1
    print(f"layering: {checked} objects read only the folders they declare")
    return 0


if __name__ == "__main__":
    sys.exit(main())
