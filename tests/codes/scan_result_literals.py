#!/usr/bin/env python3
"""Fails when a result code is written as a bare number in the library's sources.

Every code an export returns comes from the result table (include/nuvexctrl_results.h) as a
named constant, so the table, the tool's messages and the reference pages cannot miss one.
This scan finds the ways a bare number slips back in:
  - a return statement whose value, a branch of its ?:, or an argument or list element of a
    call in it is a number of two or more digits;
  - a number of two or more digits assigned to a variable (a result kept for later); named
    constants (const, constexpr) are where numbers belong;
  - two such numbers side by side in an argument or braced list (the codes handed to shared
    helpers and the settings records they read).
Numbers that are operands of arithmetic or shifts (`x << 16`, `32 - k`) are not results.
The platform stand-in is left out (it returns Win32 values, not result codes), and so are the
cipher and the digest (tables of constants, no results).

Usage: scan_result_literals.py SOURCE_DIR   (prints file:line for each finding)
"""
import pathlib
import re
import sys

NUMBER = r"(?<![\w.])([1-9][0-9]+)[uU]?(?![\w.])"
# A number standing alone: the whole value, a ?: branch, an argument or a list element.
ALONE = re.compile(r"(?:^return\s+|[?:(,{]\s*)" + NUMBER + r"\s*(?=[;:,)}]|$)")
ASSIGNED = re.compile(r"\b[A-Za-z_]\w*\s*=\s*" + NUMBER + r"\s*$")
CONSTANT = re.compile(r"^(?:static\s+|inline\s+)*(?:constexpr|const)\b")
CODE_LIST = re.compile(r"[({,]\s*" + NUMBER + r"\s*,\s*" + NUMBER + r"\s*[,)}]")


def strip_comments_and_strings(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r'"(?:[^"\\\n]|\\.)*"', '""', text)
    return re.sub(r"'(?:[^'\\\n]|\\.)*'", "''", text)


def statements(text):
    """Yields (line, statement) for every piece of code ended by ; { or }."""
    start, line = 0, 1
    for i, ch in enumerate(text):
        if ch in ";{}":
            piece = text[start:i]
            first = line + piece[: len(piece) - len(piece.lstrip())].count("\n")
            yield first, " ".join(piece.split())
            line += piece.count("\n")
            start = i + 1
            if ch == "{":
                # A braced list belongs to the statement around it: look at it whole.
                close = text.find("}", i)
                inner = text[i + 1 : close]
                if close != -1 and ";" not in inner and "{" not in inner:
                    yield line, " ".join(text[i : close + 1].split())


def findings(root):
    for path in sorted(pathlib.Path(root, "src").rglob("*")):
        if path.suffix not in (".cpp", ".h") or "platform" in path.parts:
            continue
        if "crypto" in path.parts and path.name != "sign_code.cpp":
            continue  # cipher and digest constants, no results
        text = strip_comments_and_strings(path.read_text(encoding="utf-8"))
        seen = set()
        for line, stmt in statements(text):
            stmt = re.sub(r"^(?:if|else|while|for)\b.*?\)\s*(?=return\b)", "", stmt)
            stmt = re.sub(r"^else\s+", "", stmt)
            hit = (stmt.startswith("return") and ALONE.search(stmt)) \
                or (ASSIGNED.search(stmt) and not CONSTANT.match(stmt)) \
                or CODE_LIST.search(stmt)
            if hit and line not in seen:
                seen.add(line)
                yield f"{path.relative_to(root)}:{line}: {stmt[:100]}"


def main():
    found = list(findings(sys.argv[1] if len(sys.argv) > 1 else "."))
    for item in found:
        print(item)
    if found:
        print(f"{len(found)} bare result number(s): name them from the result table",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
