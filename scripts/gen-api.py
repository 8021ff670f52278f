#!/usr/bin/env python3
"""Renders docs/api.md, the reference of the 61 exports and the extension interface, from the
public headers.

What each export does, its arguments, ownership, blocking and threads come from the doc
comment above its declaration in include/nuvexctrl.h (the extension's in
include/nuvexctrl_ex.h); the codes it returns come from the
result table in include/nuvexctrl_results.h. The script also checks the comments against the
declarations (every export documented, one @param per argument, in order) and the table
against the exports (every row names an export, every export has its codes).

Usage: gen-api.py [--check] [SOURCE_DIR]
  writes SOURCE_DIR/docs/api.md, or with --check fails when it is not current.
"""
import pathlib
import re
import sys

TAGS = ("param", "ownership", "blocking", "threads")


class Export:
    def __init__(self, section, name, declaration, params, doc):
        self.section, self.name, self.declaration, self.params = section, name, declaration, params
        self.summary, self.args, self.notes = [], [], {}
        self.parse_doc(doc)

    def parse_doc(self, doc):
        current = None
        for raw in doc:
            line = raw.strip()
            tag = re.match(r"@(\w+)\s*(.*)", line)
            if tag:
                if tag.group(1) not in TAGS:
                    raise SystemExit(f"{self.name}: unknown tag @{tag.group(1)}")
                if tag.group(1) == "param":
                    arg, _, text = tag.group(2).partition(" ")
                    self.args.append([arg, text])
                    current = self.args[-1]
                else:
                    self.notes[tag.group(1)] = [tag.group(1), tag.group(2)]
                    current = self.notes[tag.group(1)]
            elif current is not None:
                current[1] += " " + line
            else:
                self.summary.append(line)


def comment_lines(block):
    body = block[len("/**") : -len("*/")]
    return [re.sub(r"^\s*\* ?", "", line) for line in body.splitlines() if line.strip() not in ("", "*")]


def read_exports(header):
    text = header.read_text(encoding="utf-8")
    exports, section = [], None
    pattern = re.compile(
        r"/\* ---- (?P<section>.+?) -+ \*/"
        r"|(?P<doc>/\*\*.*?\*/)\s*(?P<decl>NUVEX_EXPORT uint32_t NUVEXAPI (?P<name>\w+)\((?P<params>.*?)\);)",
        re.S,
    )
    for match in pattern.finditer(text):
        if match.group("section"):
            section = match.group("section")
            continue
        params = re.sub(r"/\*.*?\*/", "", match.group("params"))
        names = [] if params.strip() == "void" else [p.split()[-1].lstrip("*") for p in params.split(",")]
        declaration = " ".join(match.group("decl").split()).replace("( ", "(")
        declaration = declaration.replace("NUVEX_EXPORT ", "").replace("NUVEXAPI ", "")
        exports.append(Export(section, match.group("name"), declaration, names,
                              comment_lines(match.group("doc"))))
    declared = re.findall(r"NUVEX_EXPORT uint32_t NUVEXAPI (\w+)\(", text)
    undocumented = sorted(set(declared) - {e.name for e in exports})
    if undocumented:
        raise SystemExit("exports without a doc comment: " + ", ".join(undocumented))
    return exports


def read_conventions(header):
    """The bullets under "Common to all of them:" in the header's comment on the exports."""
    text = header.read_text(encoding="utf-8")
    block = re.search(r"Common to all of them:\n(.*?)\*/", text, re.S)
    if not block:
        raise SystemExit("nuvexctrl.h: no comment with the conventions of the exports")
    bullets = []
    for line in block.group(1).splitlines():
        line = re.sub(r"^\s*\*\s?", "", line).rstrip()
        if line.lstrip().startswith("- "):
            bullets.append(line.strip())
        elif line.strip():
            bullets[-1] += " " + line.strip()
    return [b.replace('"threads"', "*Threads*") for b in bullets]


def read_codes(results):
    text = results.read_text(encoding="utf-8")
    values = dict(re.findall(r"#define (NUVEX_E_\w+) (\d+)u?\b", text))
    row = re.compile(r'X\((\w+), (\w+), (\w+), (NUVEX_RESULT_\w+), "((?:[^"\\]|\\.)*)"\)')
    rows = row.findall(text)
    if len(rows) != len(re.findall(r"^\s*X\(", text, re.M)):
        raise SystemExit("nuvexctrl_results.h: a row of the table does not have the expected form")
    codes = {}
    for export, name, value, kind, meaning in rows:
        number = int(values[value]) if value in values else int(value)
        constant = value if value in values else None
        codes.setdefault(export, []).append((number, name, constant, kind, meaning))
    return codes


# An extension export also returns every code of the export it extends (NuvexCtrlEx_X: NuvexCtrl_X).
def extended(name, names):
    if not name.startswith("NuvexCtrlEx_"):
        return None
    base = "NuvexCtrl_" + name[len("NuvexCtrlEx_"):]
    return base if base in names else None


def check(exports, codes):
    problems = []
    names = {e.name for e in exports}
    for e in exports:
        documented = [a[0] for a in e.args]
        if documented != e.params:
            problems.append(f"{e.name}: @param {documented} but the arguments are {e.params}")
        if not e.summary:
            problems.append(f"{e.name}: no description")
        if "blocking" not in e.notes:
            problems.append(f"{e.name}: no @blocking")
        if e.name not in codes and not e.name.startswith("NuvexCtrlEx_"):
            problems.append(f"{e.name}: no row in the result table")
    for export in codes:
        if export not in names:
            problems.append(f"result table names {export}, which is not an export")
    if problems:
        raise SystemExit("\n".join(problems))


def anchor(name):
    return name.lower()


def render(conventions, exports, codes):
    out = [
        "# Nuvexctrl API reference",
        "",
        "The 61 exports of `Nuvexctrl.dll` (and `libnuvexctrl.so`), declared in",
        "`include/nuvexctrl.h`, and the extension interface beside them, declared in",
        "`include/nuvexctrl_ex.h` (its exports are named `NuvexCtrlEx_`). On 32-bit Windows every",
        "export is stdcall and every argument 32 bits wide; every export returns a 32-bit result",
        "code, 0 for success.",
        "",
        "This page is generated by `scripts/gen-api.py` from the doc comments of",
        "`include/nuvexctrl.h` and the result table of `include/nuvexctrl_results.h`; do not edit",
        "it by hand. All codes of all exports are also in [result-codes.md](result-codes.md); the",
        "behaviours that differ from the original interface are in [departures.md](departures.md).",
        "",
        "## Conventions",
        "",
        *conventions,
        "",
        "## Exports",
        "",
    ]
    section = None
    for e in exports:
        if e.section != section:
            section = e.section
            out.append(f"- {section}: " + ", ".join(
                f"[{x.name}](#{anchor(x.name)})" for x in exports if x.section == section))
    for e in exports:
        if e.section != section or e is exports[0]:
            section = e.section
            out += ["", f"## {section}"]
        out += ["", f"### {e.name}", "", "```c", e.declaration, "```", "", " ".join(e.summary)]
        if e.args:
            out += ["", "| Argument | Meaning |", "|---|---|"]
            out += [f"| `{name}` | {text} |" for name, text in e.args]
        for tag, title in (("ownership", "Ownership"), ("blocking", "Blocking"), ("threads", "Threads")):
            if tag in e.notes:
                out += ["", f"*{title}:* {e.notes[tag][1]}"]
        base = extended(e.name, {x.name for x in exports})
        if base:
            out += ["", f"Also every code of [{base}](#{anchor(base)}), with the same meaning."]
        out += ["", "| Code | Meaning | Kind |", "|---:|---|---|"]
        out.append("| 0 | success | |")
        for number, name, constant, kind, meaning in codes.get(e.name, []):
            if number == 0:
                continue
            out.append(f"| {number} | {meaning} | {'`' + constant + '`' if constant else 'interface'} |")
    return "\n".join(out) + "\n"


def wire_fields(wire, prefix, skip=()):
    """The fields `#define <prefix><NAME> <offset>u /* <type>: <meaning> */` of the drivers'
    wire header, in order of offset."""
    rows = []
    for m in re.finditer(r"#define (" + prefix + r"\w+) (\d+)u\s*/\* (\w+): (.*?) \*/", wire):
        name, offset, kind, meaning = m.groups()
        if name not in skip:
            rows.append((int(offset), name, kind, meaning))
    if not rows:
        raise SystemExit(f"no {prefix}* fields in the wire header")
    return sorted(rows)


def wire_value(wire, name):
    m = re.search(r"#define " + name + r" (\d+)u", wire)
    if not m:
        raise SystemExit(f"{name} is not in the wire header")
    return int(m.group(1))


def field_table(rows):
    out = ["| Offset | Type | Meaning |", "|---:|---|---|"]
    out += [f"| {offset} | {kind} | {meaning} |" for offset, _, kind, meaning in sorted(rows)]
    return out


def render_driver_data(root):
    """What the Nuvex drivers put into the buffers the library passes through, read from the
    drivers' wire header and the policy codec's description."""
    wire = (root / "src" / "wire" / "nuvex_wire.h").read_text(encoding="utf-8")
    codec = (root / "sim" / "core" / "policy_codec.h").read_text(encoding="utf-8")
    grammar = codec[codec.index("Text form:"):codec.index("*/")]
    grammar = [re.sub(r"^\s*\* ?", "", line) for line in grammar.splitlines()]
    grammar = [line.replace("NUVEX_POLICY_TEXT_MAX", str(wire_value(wire, "NUVEX_POLICY_TEXT_REPLY_SIZE") - 1))
               for line in grammar if line.strip()]
    acl_base = wire_value(wire, "NUVEX_ACL_LOG_DATA")
    out = [
        "",
        "## Data of the Nuvex drivers",
        "",
        "Several exports pass bytes through whose layout belongs to the driver: the library neither",
        "reads nor changes them. The Nuvex drivers (and the simulated drivers of the host platform,",
        "which share their code) lay them out as follows. Numbers are little-endian.",
        "",
        f"### Main filter driver status (`DriverStatus`, {wire_value(wire, 'NUVEX_STATUS_SIZE')} bytes)",
        "",
        "The 12 bytes `NuvexCtrl_GetDriverStatus` returns:",
        "",
        *field_table(wire_fields(wire, "NUVEX_STATUS_", skip=("NUVEX_STATUS_SIZE",))),
        "",
        "### Main filter driver log (`LogEntry`)",
        "",
        "Each record of the driver's log becomes one `LogEntry`. The driver's record:",
        "",
        *field_table(wire_fields(wire, "NUVEX_LOG_RECORD_", skip=("NUVEX_LOG_RECORD_DATA_SIZE", "NUVEX_LOG_RECORD_TEXT"))
                     + [(wire_value(wire, "NUVEX_LOG_RECORD_DATA"), "", f"{wire_value(wire, 'NUVEX_LOG_RECORD_DATA_SIZE')} bytes",
                         "request data")]
                     + [(wire_value(wire, "NUVEX_LOG_RECORD_TEXT"), "", "text", "the event in words, zero-terminated")]),
        "",
        "In the `LogEntry`: `value1` is the request code that caused the record, `value2` the process",
        "that sent it, `time` the driver's FILETIME (UTC) as a SYSTEMTIME (all zero when the stamp",
        "cannot be converted), `data` the 16 bytes of request data (for the Nuvex driver two 32-bit",
        "words, for instance the policy ID and a count, then zeros), `text` the text. The outcome",
        "byte is not carried over; `reserved` is 0. `nuvexctl log show --json` prints them as `time`",
        "(ISO 8601, UTC), `event` (`value1`), `process` (`value2`), `data` (hexadecimal) and `text`;",
        "`nuvexctl acl log --json` prints the access-control records below with the same keys, and",
        "`sequence`, `policy` and `raw` (the 292 bytes in hexadecimal).",
        "",
        f"### Access-control driver status ({wire_value(wire, 'NUVEX_ACL_STATUS_SIZE')} bytes, two words)",
        "",
        *field_table(wire_fields(wire, "NUVEX_ACL_STATUS_", skip=("NUVEX_ACL_STATUS_SIZE",))),
        "",
        f"### Access-control driver log (`AccLogRecord`, {wire_value(wire, 'NUVEX_ACL_LOG_DATA_SIZE')} bytes of data)",
        "",
        "Offsets within `data` (add 4 for the offset within the record on 32-bit targets):",
        "",
        *field_table(wire_fields(wire, "NUVEX_ACL_LOG_", skip=("NUVEX_ACL_LOG_SIZE", "NUVEX_ACL_LOG_DATA",
                                                                 "NUVEX_ACL_LOG_DATA_SIZE", "NUVEX_ACL_LOG_TEXT_SIZE",
                                                                 "NUVEX_ACL_LOG_TEXT"))
                     + [(wire_value(wire, "NUVEX_ACL_LOG_TEXT"), "", "text",
                         "the event in words (\"access control started\"), zero-terminated, at most "
                         f"{wire_value(wire, 'NUVEX_ACL_LOG_TEXT_SIZE')} bytes with its zero")]),
        "",
        "### Document GUID",
        "",
        "`NuvexCtrl_GetFileGUID` gives the 16 bytes of the document header's GUID as the platform's",
        "GUID creation returned them: a 32-bit, two 16-bit fields, each little-endian, then 8 single",
        "bytes. The usual rendering `{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}` (as `nuvexctl doc guid`",
        "prints it) shows the three fields as numbers, so their bytes appear reversed: the bytes",
        "`33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF` are `{00112233-4455-6677-8899-AABBCCDDEEFF}`.",
        "",
        "### Rights status",
        "",
        "The rights exports store a status in their optional `status` argument:",
        "`NUVEX_RIGHTS_PENDING` (0x80000004) on entry, which stays when a call ends for any reason",
        "that has no status of its own (a failure to open, read or allocate, or an argument refused).",
        "",
        "| Export | Status on success | Other statuses |",
        "|---|---|---|",
        "| `NuvexCtrl_SetEnFileRights` | 0 (`NUVEX_RIGHTS_ACCEPTED`) | 0x80000001 wrong password, 0x80000002 not a document |",
        "| `NuvexCtrl_ClearEnFileRights` | 0 (`NUVEX_RIGHTS_ACCEPTED`) | 0x80000001 wrong password, 0x80000002 not a document, 0x80000003 no rights record to clear |",
        "| `NuvexCtrl_GetEnFileRights` | 0x80000004: it never stores 0, so its success is known by its result code alone | none |",
        "",
        "### Policy texts",
        "",
        "The main filter driver renders each policy as one line of text; `NuvexCtrl_GetPolicyStrList`",
        "and `NuvexCtrl_GetOnePolicyStr` hand it out without the final `|`, and",
        "`NuvexCtrl_InsertPolicyStr` takes it with or without. The library relies only on the",
        "three-character lead and the decimal ID up to the first `|`; the Nuvex driver's grammar is:",
        "",
        *grammar,
        "",
        "Record offsets (the 32-bit layout of `PolicyRecord`): " + ", ".join(
            f"`{field}` {wire_value(wire, name)}" for field, name in (
                ("DriverFields", "NUVEX_POLICY_DRIVER_FIELDS"), ("EntryCount", "NUVEX_POLICY_ENTRY_COUNT"),
                ("Entries", "NUVEX_POLICY_ENTRY_TABLE"), ("TextList1", "NUVEX_POLICY_TEXT_LIST1"),
                ("ValueCount1", "NUVEX_POLICY_VALUE_COUNT1"), ("Values1", "NUVEX_POLICY_VALUES1"),
                ("TextList2", "NUVEX_POLICY_TEXT_LIST2"), ("ValueCount2", "NUVEX_POLICY_VALUE_COUNT2"),
                ("Values2", "NUVEX_POLICY_VALUES2"), ("TextList3", "NUVEX_POLICY_TEXT_LIST3"),
                ("TextList4", "NUVEX_POLICY_TEXT_LIST4"), ("TextList5", "NUVEX_POLICY_TEXT_LIST5"))) + ".",
        "",
        "Worked examples:",
        "",
        "| Text | Reads |",
        "|---|---|",
        "| `NVP3\\|~1084.F:\\reports` | policy 3; bytes 8 to 1091 zero; `TextList1` = `F:\\reports` |",
        "| `NVP1\\|~1084.C:\\docs%7CD:\\work~241.%01~3.%07~43.winword.exe%7Cexcel.exe` | policy 1; `TextList1` = `C:\\docs\\|D:\\work` (`%7C` is a `\\|` inside a list); 241 zero bytes to offset 1348; `ValueCount1` = 1 (byte 0x01, then 3 zeros); `Values1[0]` = 7; 43 zeros to offset 1396; `TextList2` = `winword.exe\\|excel.exe` |",
        "| `NVP51\\|` | policy 51 with every byte of its content zero |",
        "",
    ]
    return out


def main(argv):
    checking = "--check" in argv
    rest = [a for a in argv if a != "--check"]
    root = pathlib.Path(rest[0] if rest else pathlib.Path(__file__).resolve().parent.parent)
    exports = read_exports(root / "include" / "nuvexctrl.h") + read_exports(root / "include" / "nuvexctrl_ex.h")
    codes = read_codes(root / "include" / "nuvexctrl_results.h")
    check(exports, codes)
    page = render(read_conventions(root / "include" / "nuvexctrl.h"), exports, codes)
    page += "\n".join(render_driver_data(root)[1:]) + "\n"
    target = root / "docs" / "api.md"
    if checking:
        if not target.exists() or target.read_text(encoding="utf-8") != page:
            print("docs/api.md is not current: run scripts/gen-api.py", file=sys.stderr)
            return 1
        print(f"docs/api.md is current ({len(exports)} exports)")
        return 0
    target.write_text(page, encoding="utf-8")
    print(f"wrote docs/api.md ({len(exports)} exports)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
