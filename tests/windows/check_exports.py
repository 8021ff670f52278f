#!/usr/bin/env python3
"""Checks Nuvexctrl.dll's export table against the module-definition file and the header.

usage: check_exports.py <objdump> <Nuvexctrl.dll> <nuvexctrl.def> <nuvexctrl.h> [<nm> <import library>]

- the DLL exports exactly the names of the .def file, each once, and nothing else;
- every .def name is the stdcall decoration of a routine the header declares: "_" + name + "@"
  + 4 x the number of its arguments, every argument being 32 bits wide;
- every export the header declares is in the .def file;
- NuvexAccCtrl_FreeLog is the same routine (same address) as NuvexCtrl_FreeLog;
- the DLL imports no language-runtime DLL (libgcc, libstdc++, winpthread): they are linked in;
- the import library defines __imp__Name@N for every export, the slot through which a client
  compiled with the header's __stdcall declarations calls it.
"""
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "ole32.dll",
               "shlwapi.dll", "ntdll.dll"}
ALIASES = {"_NuvexAccCtrl_FreeLog@4": "_NuvexCtrl_FreeLog@4"}


def parse_def(path):
    """Returns [(export name, routine symbol)] in file order."""
    entries = []
    for raw in open(path, encoding="ascii"):
        line = raw.split(";", 1)[0].strip()
        if not line or line.split()[0] in ("LIBRARY", "EXPORTS"):
            continue
        m = re.fullmatch(r"(\w+@\d+)\s*(?:=\s*(\w+@\d+)\s*)?==\s*(_\w+@\d+)", line)
        if not m:
            raise SystemExit(f"{path}: line not understood: {raw.rstrip()}")
        symbol, target, export = m.groups()
        routine = "_" + (target or symbol)
        if "_" + symbol != export:
            raise SystemExit(f"{path}: {export} is exported under another symbol ({symbol})")
        entries.append((export, routine))
    return entries


def parse_header(path):
    """Returns {name: [argument declarations]} of every export the header (and the extension
    interface's header beside it) declares."""
    text = open(path, encoding="ascii").read()
    extension = os.path.join(os.path.dirname(path), "nuvexctrl_ex.h")
    if os.path.exists(extension):
        text += open(extension, encoding="ascii").read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    decls = {}
    for m in re.finditer(r"NUVEX_EXPORT\s+uint32_t\s+NUVEXAPI\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        name, args = m.group(1), " ".join(m.group(2).split())
        if name in decls:
            raise SystemExit(f"{path}: {name} declared twice")
        decls[name] = [] if args in ("", "void") else [a.strip() for a in args.split(",")]
    return decls


def is_32_bit(arg):
    # Pointers, 32-bit integers, the extension's callback (a function pointer) and its folder
    # (a pointer-sized integer: a HANDLE on Windows).
    return ("*" in arg or re.match(r"(const\s+)?(uint32_t|int32_t)\b", arg) is not None
            or re.match(r"NuvexCtrlEx(Progress|Folder)\b", arg) is not None)


def parse_exports(objdump, dll):
    """Returns ({name: address}, [imported DLL names]) from objdump -p."""
    out = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                         text=True).stdout
    addresses, names, imports = {}, {}, []
    section = None
    for line in out.splitlines():
        if line.startswith("Export Address Table --"):
            section = "eat"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "names"
            continue
        if not line.strip():
            section = None
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            imports.append(m.group(1))
        if section == "eat":
            m = re.match(r"\s*\[\s*(\d+)\]\s*\+base\[\s*\d+\]\s*([0-9a-fA-F]+)", line)
            if m:
                addresses[int(m.group(1))] = int(m.group(2), 16)
        elif section == "names":
            m = re.match(r"\s*\[\s*(\d+)\]\s*(\S+)", line)
            if m:
                if m.group(2) in names:
                    raise SystemExit(f"{dll}: {m.group(2)} exported twice")
                names[m.group(2)] = addresses.get(int(m.group(1)))
    return names, imports


def main():
    objdump, dll, def_path, header = sys.argv[1:5]
    failures = []
    def_entries = parse_def(def_path)
    def_names = [e for e, _ in def_entries]
    decls = parse_header(header)
    exported, imports = parse_exports(objdump, dll)

    if len(set(def_names)) != len(def_names):
        failures.append("the .def file names an export twice")
    for missing in sorted(set(def_names) - set(exported)):
        failures.append(f"in the .def file but not exported: {missing}")
    for extra in sorted(set(exported) - set(def_names)):
        failures.append(f"exported but not in the .def file: {extra}")

    declared_in_def = set()
    for export, routine in def_entries:
        m = re.fullmatch(r"_(\w+)@(\d+)", export)
        name, size = m.group(1), int(m.group(2))
        declared_in_def.add(name)
        args = decls.get(name)
        if args is None:
            failures.append(f"{export}: {name} is not declared in the header")
            continue
        if size != 4 * len(args):
            failures.append(f"{export}: the header declares {len(args)} argument(s), "
                            f"{4 * len(args)} bytes")
        for arg in args:
            if not is_32_bit(arg):
                failures.append(f"{name}: argument '{arg}' is not 32 bits wide")
        if routine != export and ALIASES.get(export) != routine:
            failures.append(f"{export} is exported as another routine ({routine})")
    for name in sorted(set(decls) - declared_in_def):
        failures.append(f"{name} is declared in the header but not in the .def file")

    for alias, routine in ALIASES.items():
        if alias in exported and routine in exported and exported[alias] != exported[routine]:
            failures.append(f"{alias} and {routine} are different routines")

    for imported in imports:
        if imported.lower() not in SYSTEM_DLLS:
            failures.append(f"imports {imported}: only system DLLs may be needed")

    if len(sys.argv) > 6:
        nm, implib = sys.argv[5:7]
        symbols = set(subprocess.run([nm, implib], check=True, capture_output=True,
                                     text=True).stdout.split())
        for export in def_names:
            if "__imp_" + export not in symbols:
                failures.append(f"the import library lacks __imp_{export}")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(exported)} exports, {len(def_names)} .def names, {len(decls)} header "
          f"declarations; imports {', '.join(imports)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
