#!/usr/bin/env python3
"""The DLL's binary surface: exactly one export (KaGetModule), only system
DLLs imported (the mingw runtime is linked in), and a version resource with
the fields every Windows DLL carries."""
import re
import subprocess
import sys

MINGW_RUNTIME = re.compile(r"libstdc\+\+|libgcc|libwinpthread|libssp|libatomic", re.I)


def main(objdump, dll):
    dump = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    errors = []
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    exports = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1].split("\n\n", 1)[0], re.M) \
        if len(table) == 2 else []
    if exports != ["KaGetModule"]:
        errors.append(f"exports {exports}, expected exactly ['KaGetModule']")
    imports = re.findall(r"DLL Name: (\S+)", dump)
    runtime = [name for name in imports if MINGW_RUNTIME.search(name)]
    if runtime:
        errors.append(f"imports mingw runtime DLLs {runtime}: link them statically")
    with open(dll, "rb") as f:
        data = f.read()
    for field in ("VS_VERSION_INFO", "FileVersion", "ProductVersion", "FileDescription"):
        if field.encode("utf-16-le") not in data:
            errors.append(f"version resource lacks {field}")
    for e in errors:
        print(e)
    print(f"exports {exports}; imports {sorted(set(imports))}; "
          f"{'FAILED' if errors else 'surface as required'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
