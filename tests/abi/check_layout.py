#!/usr/bin/env python3
"""Proves that every interface header gives the same slot order under the
MSVC ABI and the Itanium ABI (GCC, clang, mingw) as the slot tables in
slots.txt.

Three compilers look at one probe translation unit that derives a class with
an out-of-line constructor from every interface (so each vtable is laid out):
  - clang, MSVC target:  names and order of the MSVC vftable;
  - clang, mingw target: names and order of the Itanium vtable;
  - the mingw g++ we ship with: slot counts (its dump does not name pure
    virtual slots, so names come from clang's Itanium dump, which follows the
    same ABI rules).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def read_tables(path):
    tables = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, slots = line.split(":", 1)
            tables[name.strip()] = slots.split()
    return tables


def probe_source(names):
    out = ['#include "ka/ka.h"']
    for n in names:
        out.append(f"struct Probe_{n} : {n} {{ Probe_{n}(); }};")
        out.append(f"Probe_{n}::Probe_{n}() {{}}")
    return "\n".join(out) + "\n"


ENTRY = re.compile(r"^\s*(\d+)\s*\|\s*(.*)$")
METHOD = re.compile(r"(\w+)::(\w+)\((.*)\)")


def slot_entry(text):
    m = METHOD.search(text)
    if not m:
        return None
    return m.group(2), re.sub(r"\s+", "", m.group(3))


def parse_clang(dump, header_re, first_slot_index):
    """Returns {interface: [(name, params), ...]} from clang's vtable dump."""
    result = {}
    current = None
    for line in dump.splitlines():
        h = header_re.match(line)
        if h:
            current = h.group(1)
            if current.startswith("Probe_") or current in result:
                current = None
            else:
                result[current] = []
            continue
        if current is None:
            continue
        if not line.strip():
            current = None
            continue
        e = ENTRY.match(line)
        if not e:
            continue
        index = int(e.group(1))
        if index < first_slot_index:
            continue
        entry = slot_entry(e.group(2))
        if entry:
            result[current].append(entry)
    return result


def parse_gxx_counts(dump):
    counts = {}
    for m in re.finditer(r"^Vtable for (\w+)\n\S+: (\d+) entries", dump, re.M):
        counts[m.group(1)] = int(m.group(2)) - 2  # offset-to-top and RTTI
    return counts


def compare(abi, tables, layouts):
    errors = []
    for name, expected in tables.items():
        got = layouts.get(name)
        if got is None:
            errors.append(f"{abi}: no layout found for {name}")
            continue
        if len(got) != len(expected):
            errors.append(f"{abi}: {name} has {len(got)} slots, expected {len(expected)}")
        for slot, (want, have) in enumerate(zip(expected, got)):
            want_name, _, want_params = want.partition("(")
            ok = have[0] == want_name
            if ok and want_params:
                ok = have[1] == want_params.rstrip(")")
            if not ok:
                errors.append(f"{abi}: {name} slot {slot} is {have[0]}({have[1]}), expected {want}")
    return errors


def check_headers_alone(args):
    """Every public header must compile on its own, under both ABIs."""
    errors = []
    folder = os.path.join(args.include, "ka")
    for header in sorted(os.listdir(folder)):
        source = f'#include "ka/{header}"\n'
        for name, cmd in (
            ("g++", [args.gxx, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror"]),
            ("MSVC", [args.clang, "--target=x86_64-pc-windows-msvc", "-ffreestanding",
                      "-std=c++20", "-fsyntax-only"]),
        ):
            p = subprocess.run(cmd + ["-I", args.include, "-x", "c++", "-"], input=source,
                               capture_output=True, text=True)
            if p.returncode != 0:
                errors.append(f"{name}: ka/{header} does not compile on its own:\n{p.stderr}")
    return errors


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit(f"command failed: {' '.join(cmd)}\n{p.stderr}")
    return p.stdout + p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--include", required=True)
    ap.add_argument("--slots", required=True)
    ap.add_argument("--gxx", required=True)
    ap.add_argument("--clang", default="clang++")
    args = ap.parse_args()

    tables = read_tables(args.slots)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "probe.cpp")
        with open(src, "w") as f:
            f.write(probe_source(tables))
        clang = [args.clang, "-x", "c++", "-std=c++20", "-ffreestanding", "-c", src,
                 "-o", os.devnull, "-I", args.include, "-Xclang", "-fdump-vtable-layouts"]
        msvc = run(clang[:1] + ["--target=x86_64-pc-windows-msvc"] + clang[1:])
        itanium = run(clang[:1] + ["--target=x86_64-w64-mingw32"] + clang[1:])
        run([args.gxx, "-std=c++20", "-c", src, "-o", os.path.join(tmp, "probe.o"),
             "-I", args.include, "-fdump-lang-class=" + os.path.join(tmp, "probe.class")])
        with open(os.path.join(tmp, "probe.class")) as f:
            gxx = f.read()

    errors = check_headers_alone(args)
    errors += compare("MSVC", tables,
                      parse_clang(msvc, re.compile(r"^VFTable for (?:.* in )?'(\w+)' \("), 1))
    errors += compare("Itanium", tables,
                      parse_clang(itanium, re.compile(r"^Vtable for '(\w+)' \("), 2))
    counts = parse_gxx_counts(gxx)
    for name, expected in tables.items():
        if counts.get(name) != len(expected):
            errors.append(f"g++: {name} has {counts.get(name)} slots, expected {len(expected)}")
    for e in errors:
        print(e)
    checked = sum(len(v) for v in tables.values())
    print(f"{len(tables)} interfaces, {checked} slots checked under MSVC, Itanium and g++: "
          f"{'FAILED' if errors else 'all match'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
