#!/usr/bin/env python3
"""Checks how much of its caller's stack Nuvexctrl.dll can use.

usage: check_stack_frames.py <objdump> <Nuvexctrl.dll> [--frame-limit BYTES] [--chain-limit BYTES]
                             [--report]

Each routine's frame is read from its prologue: the pushes, the return address, the
`sub $n,%esp` or the `mov $n,%eax; call ___chkstk_ms` that reserves its locals, and the slack
an `and $-n,%esp` realignment may take. A routine that reserves a size only known at run time
(alloca, variable-length arrays) is reported on its own.

The deepest chain of frames from each export follows the direct calls; an indirect call may
reach any routine whose address the code takes (an immediate operand or a word of the
read-only data), so it counts as a call of the deepest of those. Routines started on threads
of their own are reached the same way and so are counted too, which only overstates.
System calls are not counted: the Wine test that calls every export with little stack left
covers them.

Fails when a routine's frame exceeds the frame limit (default 8 KiB) or an export's chain
exceeds the chain limit (default 16 KiB). --report lists every export's chain.
"""
import re
import subprocess
import sys

FUNCTION = re.compile(r"^([0-9a-f]+) <(.+)>:$")
CALL = re.compile(r"^call\s+([0-9a-f]+) <([^>]+)>$")
INDIRECT = re.compile(r"^call\s+\*")
IMMEDIATE = re.compile(r"\$0x([0-9a-f]+)")
SUB = re.compile(r"^sub\s+\$0x([0-9a-f]+),%esp$")
SUB_DYNAMIC = re.compile(r"^sub\s+%e[a-z]{2},%esp$")
MOV_EAX = re.compile(r"^mov\s+\$0x([0-9a-f]+),%eax$")
ALIGN = re.compile(r"^and\s+\$0xffffff([0-9a-f]{2}),%esp$")
EXPORT = re.compile(r"^_(Nuvex\w+)@\d+$")
CHKSTK = "___chkstk_ms"
# Instructions that change %eax without naming it.
IMPLICIT_EAX = {"mul", "div", "idiv", "imul", "cdq", "cltd", "lods", "lodsl", "cpuid", "rdtsc",
                "call"}
# Routines of the library itself (the language runtime's are reached only as callees).
OWN = re.compile(r"nuvex|Nuvex")
# Thread start routines: they run on a stack of their own.
THREAD_ENTRY = re.compile(r"platform\d+_GLOBAL__N_1\d+EntryE|HelperEntry")
# Words of argument pushes and spills beyond the prologue, per frame.
ARGUMENT_SLACK = 64


def disassemble(objdump, dll):
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", dll], check=True,
                             capture_output=True, text=True).stdout
    functions = {}  # name -> dict
    order = []
    current = None
    for line in listing.splitlines():
        header = FUNCTION.match(line)
        if header:
            current = {"address": int(header.group(1), 16), "name": header.group(2),
                       "instructions": []}
            functions[current["name"]] = current
            order.append(current)
            continue
        parts = line.split("\t")
        if current is None or len(parts) < 2:
            continue
        current["instructions"].append(" ".join(parts[-1].split()))
    return functions, order


def rdata_words(objdump, dll):
    dump = subprocess.run([objdump, "-s", "-j", ".rdata", "-j", ".data", dll], check=True,
                          capture_output=True, text=True).stdout
    words = set()
    for line in dump.splitlines():
        fields = line.split()
        if len(fields) < 2 or not re.fullmatch(r"[0-9a-f]+", fields[0]):
            continue
        for group in fields[1:5]:
            if re.fullmatch(r"[0-9a-f]{8}", group):
                words.add(int.from_bytes(bytes.fromhex(group), "little"))
    return words


def frame_of(instructions):
    """Bytes the prologue reserves, and whether the routine reserves a run-time size."""
    size, pending, dynamic, after_chkstk = 4, None, False, False  # 4: the return address
    for position, instruction in enumerate(instructions):
        mnemonic = instruction.split(" ", 1)[0]
        if CHKSTK in instruction and mnemonic == "call":
            if pending is None:
                dynamic = True
            else:
                size += pending
            pending, after_chkstk = None, True
            continue
        if SUB_DYNAMIC.match(instruction) and not after_chkstk:
            dynamic = True
        after_chkstk = False
        if MOV_EAX.match(instruction):
            pending = int(MOV_EAX.match(instruction).group(1), 16)
            continue
        if "%eax" in instruction or mnemonic in IMPLICIT_EAX:
            pending = None
        if position > 40:
            continue
        if mnemonic == "push":
            size += 4
        elif SUB.match(instruction):
            size += int(SUB.match(instruction).group(1), 16)
        elif ALIGN.match(instruction):
            size += 0x100 - int(ALIGN.match(instruction).group(1), 16) - 4
    return size + ARGUMENT_SLACK, dynamic


def main():
    args = sys.argv[1:]
    frame_limit, chain_limit, report = 8 * 1024, 16 * 1024, False
    while len(args) > 2:
        option = args.pop(2)
        if option == "--report":
            report = True
        elif option == "--frame-limit":
            frame_limit = int(args.pop(2))
        elif option == "--chain-limit":
            chain_limit = int(args.pop(2))
        else:
            raise SystemExit(__doc__)
    if len(args) != 2:
        raise SystemExit(__doc__)
    objdump, dll = args
    functions, order = disassemble(objdump, dll)
    by_address = {f["address"]: f for f in order}

    taken = set()
    for function in order:
        for instruction in function["instructions"]:
            for value in IMMEDIATE.findall(instruction):
                if int(value, 16) in by_address:
                    taken.add(by_address[int(value, 16)]["name"])
    for word in rdata_words(objdump, dll):
        if word in by_address:
            taken.add(by_address[word]["name"])
    # An indirect call of the library reaches one of its own routines (keystream routines,
    # copy tasks); exports are entered from outside only.
    taken = {n for n in taken if OWN.search(n) and not THREAD_ENTRY.search(n)
             and not EXPORT.match(n)}

    frames, callees, indirect, dynamic = {}, {}, set(), []
    for function in order:
        name = function["name"]
        frames[name], is_dynamic = frame_of(function["instructions"])
        if is_dynamic and OWN.search(name):
            dynamic.append(name)
        callees[name] = set()
        for instruction in function["instructions"]:
            call = CALL.match(instruction)
            if call and call.group(2) in functions:
                callees[name].add(call.group(2))
            elif INDIRECT.match(instruction) and "__imp_" not in instruction and OWN.search(name):
                indirect.add(name)

    deepest = {}

    def depth(name, active):
        if name in deepest:
            return deepest[name]
        if name in active:  # recursion: counted once
            return (0, [])
        active.add(name)
        best = (0, [])
        targets = set(callees.get(name, ()))
        if name in indirect:
            targets |= taken
        for callee in targets:
            found = depth(callee, active)
            if found[0] > best[0]:
                best = found
        active.discard(name)
        result = (frames.get(name, 0) + best[0], [name] + best[1])
        deepest[name] = result
        return result

    sys.setrecursionlimit(10000)
    exports = sorted(n for n in functions if EXPORT.match(n))
    failures = []
    for name, size in sorted(frames.items(), key=lambda item: -item[1]):
        if size > frame_limit and OWN.search(name):
            failures.append(f"{name}: frame of {size} bytes (limit {frame_limit})")
    for name in dynamic:
        failures.append(f"{name}: reserves stack of a size known only at run time")
    chains = []
    for name in exports:
        size, path = depth(name, set())
        chains.append((size, name, path))
        if size > chain_limit:
            failures.append(f"{name}: {size} bytes of stack through {' > '.join(path)}")
    chains.sort(reverse=True)
    if report:
        for size, name, path in chains:
            print(f"{size:6d}  {EXPORT.match(name).group(1)}: {' > '.join(path[1:])}")
        largest = sorted(frames.items(), key=lambda item: -item[1])[:10]
        print("largest frames: " + ", ".join(f"{n} {s}" for n, s in largest))
    for failure in failures:
        print(failure)
    if failures:
        raise SystemExit(f"{len(failures)} routine(s) or export(s) over the stack limits")
    size, name, _ = chains[0]
    print(f"{len(exports)} exports: the deepest uses {size} bytes of stack ({name}); "
          f"no frame over {frame_limit} bytes")


if __name__ == "__main__":
    main()
