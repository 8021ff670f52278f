#!/usr/bin/env python3
"""Checks that no code in Nuvexctrl.dll needs more than the 4-byte stack alignment its callers
promise.

usage: check_stack_alignment.py <objdump> <Nuvexctrl.dll>

An instruction that faults on a 16-byte operand not 16-aligned (movaps, movdqa, and the legacy
SSE arithmetic forms with a memory operand) may address the stack only in a routine that first
aligns its own stack pointer (and $-16, $-32 or $-64 on %esp). Otherwise the routine works when
the caller's stack happens to be 16-aligned and faults when it is not, which a Wine run shows
only on processors where that routine is the one picked. The DLL's own routines are checked
whatever the machine picks.
"""
import re
import subprocess
import sys

# Legacy SSE forms that take an unaligned memory operand without faulting.
UNALIGNED_OK = re.compile(
    r"^(movdqu|movups|movupd|lddqu|movq|movd|movss|movsd|movlps|movhps|movlpd|movhpd|"
    r"movntq|maskmovq|pinsr[bwdq]|pextr[bwdq]|extractps|insertps|pmovzx\w*|pmovsx\w*|"
    r"cvt\w*|\w+ss|\w+sd|comis[sd]|ucomis[sd]|movnti)$")
# VEX and EVEX forms fault only in their explicitly aligned moves.
VEX_ALIGNED = re.compile(r"^v(movdqa(32|64)?|movaps|movapd|movntdq|movntps|movntpd|movntdqa)$")
STACK_OPERAND = re.compile(r"\(%e[sb]p[,)]")
REALIGN = re.compile(r"^and \$0xff+[ce]?0,%esp$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")


def needs_alignment(mnemonic, operands):
    if "(" not in operands or not re.search(r"%[xyz]mm", operands):
        return False
    if mnemonic.startswith("v"):
        return VEX_ALIGNED.match(mnemonic) is not None
    return UNALIGNED_OK.match(mnemonic) is None


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    objdump, dll = sys.argv[1:]
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", dll], check=True,
                             capture_output=True, text=True).stdout
    offenders = {}
    function, realigned, hits = None, False, []

    def close():
        if function is not None and hits and not realigned:
            offenders[function] = hits[:3]

    for line in listing.splitlines():
        header = FUNCTION.match(line)
        if header:
            close()
            function, realigned, hits = header.group(1), False, []
            continue
        parts = line.split("\t")
        if len(parts) < 2 or function is None:
            continue
        instruction = " ".join(parts[-1].split())
        mnemonic, _, operands = instruction.partition(" ")
        if REALIGN.match(instruction):
            realigned = True
        elif STACK_OPERAND.search(operands) and needs_alignment(mnemonic, operands):
            hits.append(instruction)
    close()

    for name, instructions in sorted(offenders.items()):
        print(f"{name}: assumes a 16-aligned stack: {'; '.join(instructions)}")
    if offenders:
        raise SystemExit(f"{len(offenders)} routine(s) fault on a 4-byte-aligned stack")
    print("no routine assumes more than a 4-byte-aligned stack")


if __name__ == "__main__":
    main()
