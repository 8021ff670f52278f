#!/usr/bin/env python3
"""Runs every nuvexctl verb with --json against the simulated drivers on a private machine root,
in the order an administrator would (drivers installed, policies, pass paths, access-control
policies, log records, documents, a state export and apply, failures too), and validates every
document printed against the verb's schema in docs/schema/. Then checks that every verb that
prints JSON has a schema and was run, and that every schema was used.

Usage: check_schemas.py NUVEXCTL SCHEMA_DIR
"""
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

try:
    import jsonschema
except ImportError:
    sys.exit("check_schemas: the Python module jsonschema is missing; install the Debian package "
             "python3-jsonschema (scripts/bootstrap.sh installs it)")

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Verbs that print no JSON document, whatever the options.
NO_JSON = {"demo"}
# Verbs the completion scripts do not offer (hidden), checked all the same.
HIDDEN = {"man"}


class Schemas:
    """The schema files, their $refs resolved among themselves by file name."""

    def __init__(self, folder):
        self.folder = folder
        self.files = {}
        for name in sorted(os.listdir(folder)):
            if name.endswith(".json"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    self.files[name] = json.load(f)
        for name, schema in self.files.items():
            jsonschema.Draft202012Validator.check_schema(schema)
        self.used = set()
        self.validators = {name: self._validator(name, schema) for name, schema in self.files.items()}

    def _validator(self, name, schema):
        # The schemas name each other by file name: each is placed at its file's URI.
        base = pathlib.Path(self.folder).resolve().as_uri() + "/"
        try:
            from referencing import Registry, Resource
            from referencing.jsonschema import DRAFT202012
        except ImportError:  # jsonschema before 4.18 (Debian 12): the older resolver
            store = {base + n: s for n, s in self.files.items()}
            resolver = jsonschema.RefResolver(base_uri=base + name, referrer=schema, store=store)
            return jsonschema.Draft202012Validator(schema, resolver=resolver)
        registry = Registry().with_resources(
            (base + n, Resource.from_contents(s, default_specification=DRAFT202012)) for n, s in self.files.items())
        return jsonschema.Draft202012Validator({"$ref": base + name}, registry=registry)

    def check(self, name, document, what):
        if name not in self.validators:
            raise Failure(f"{what}: no schema {name} in {self.folder}")
        errors = sorted(self.validators[name].iter_errors(document), key=lambda e: list(e.absolute_path))
        if errors:
            detail = "\n".join(f"  at /{'/'.join(map(str, e.absolute_path))}: {e.message[:300]}" for e in errors[:5])
            raise Failure(f"{what}: the document does not match {name}:\n{detail}\n"
                          f"  document: {json.dumps(document)[:1500]}")
        self.used.add(name)


class Failure(Exception):
    pass


def schema_name(verb):
    return verb.replace(" ", "-") + ".json"


class Run:
    def __init__(self, tool, schemas, root):
        self.tool = tool
        self.schemas = schemas
        self.root = root
        self.checked = set()  # verbs whose output was validated
        self.count = 0

    def json(self, verb, *args, status=0, input=None, schema=None):
        """Runs `nuvexctl --json VERB ARGS`, expects `status`, validates the one document printed."""
        words = verb.split() if verb else []
        command = [self.tool, "--json"] + words + [a if isinstance(a, bytes) else str(a) for a in args]
        done = subprocess.run(command, input=input, capture_output=True, timeout=60)
        shown = " ".join(a.decode("utf-8", "replace") if isinstance(a, bytes) else a for a in command[1:])
        if done.returncode != status:
            raise Failure(f"nuvexctl {shown}: exit status {done.returncode}, expected {status}\n"
                          f"  stdout: {done.stdout[:800]!r}\n  stderr: {done.stderr[:800]!r}")
        try:
            document = json.loads(done.stdout, object_pairs_hook=ordered)
        except ValueError as e:
            raise Failure(f"nuvexctl {shown}: standard output is not one JSON document ({e}): {done.stdout[:800]!r}")
        self.validate(verb, document, shown, schema)
        return document

    def validate(self, verb, document, shown, schema=None):
        if schema != "state-file.json" and (not isinstance(document, dict) or next(iter(document), None) != "schemaVersion"):
            raise Failure(f"nuvexctl {shown}: the document does not start with schemaVersion")
        self.schemas.check(schema or schema_name(verb), document, f"nuvexctl {shown}")
        # A failure is an error document, and also matches error.json when it is nothing more.
        if isinstance(document, dict) and set(document) == {"schemaVersion", "ok", "error"}:
            self.schemas.check("error.json", document, f"nuvexctl {shown}")
        if verb:
            self.checked.add(verb)
        self.count += 1


def ordered(pairs):
    # Keeps the order of keys, so that the first key can be checked.
    return dict(pairs)


def leaf_verbs(tool):
    """The verbs from the completion script (generated from the same definitions as --help)."""
    script = subprocess.run([tool, "completion", "bash"], capture_output=True, text=True, check=True).stdout
    body = script[script.index("_nuvexctl_verbs()"):script.index("_nuvexctl_options()")]
    children = {}
    for parent, words in re.findall(r"'([^']*)'\) echo '([^']*)'", body):
        children[parent] = words.split()
    verbs = set()

    def walk(prefix):
        for word in children.get(prefix, []):
            path = (prefix + " " + word).strip()
            if path in children:
                walk(path)
            else:
                verbs.add(path)
    walk("")
    if len(verbs) < 40:
        raise Failure(f"only {len(verbs)} verbs found in `nuvexctl completion bash`; has its layout changed?")
    return verbs


def follow(run):
    """`log follow --acl` as a log shipper runs it: lines read as records arrive, then Ctrl-C."""
    shown = "log follow --acl --interval 50"
    proc = subprocess.Popen([run.tool, "--json", "log", "follow", "--acl", "--interval", "50"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = []
    # The reader keeps reading, as a shipper does: a record counts as written once it is read.
    reader = threading.Thread(target=lambda: lines.extend(proc.stdout))
    reader.start()
    try:
        for verb in (["acl", "stop"], ["acl", "start"], ["driver", "suspend"], ["driver", "resume"]):
            subprocess.run([run.tool] + verb, check=True, capture_output=True)
        time.sleep(0.5)
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=20)
        reader.join(timeout=20)
        err = proc.stderr.read()
    if proc.returncode != 0:
        raise Failure(f"nuvexctl {shown}: exit status {proc.returncode} after Ctrl-C, expected 0; stderr {err[:500]!r}")
    sources = set()
    for line in lines:
        record = json.loads(line, object_pairs_hook=ordered)
        run.validate("log follow", record, shown)
        sources.add(record.get("source"))
    if sources != {"main", "acl"}:
        raise Failure(f"nuvexctl {shown}: records of {sorted(map(str, sources))} among {len(lines)} lines, "
                      "expected both logs")


def scenario(run, scratch):
    j = run.json
    # The tool itself, without drivers.
    j("", "--version", schema="version.json")
    j("", "driver", "instal", "main", status=2, schema="error.json")
    j("codes")
    j("completion", "bash")
    j("man")
    j("man", "--exit-status-table")
    j("status", status=0)
    j("status", "--check", "main", status=3)

    # Drivers: installed, re-run, loaded, unloaded, restarted.
    for driver in ("main", "acl", "monitor"):
        j("driver install", driver)
    again = j("driver install", "main")
    if again["changed"]:
        raise Failure("driver install of a running driver reports a change")
    j("driver unload", "acl")
    j("status", "--check", status=3)
    j("driver load", "acl")
    j("driver restart", "monitor")
    j("driver load", "nosuch", status=2)
    j("status", "--check")
    j("driver suspend")
    j("driver resume")

    # The main driver: log, pass paths (one not UTF-8: a text object), policies.
    j("log on")
    j("log state")
    j("passpath add", "/srv/build", b"/srv/caf\xe9", "|")
    added = j("passpath add", "/srv/build")
    if added["alreadyPresent"] != ["/srv/build"]:
        raise Failure(f"passpath add of a held path: {added}")
    listed = j("passpath list")
    if not any(isinstance(p, dict) and p.get("hex", "").endswith("e9") for p in listed["passPaths"]):
        raise Failure(f"a pass path that is not UTF-8 is not given as hex: {listed}")
    new_id = j("policy new-id")["id"]
    j("policy add", "--record", "--id", new_id, "--list", "C:\\docs|D:\\work", "--value", "7")
    record = j("policy add", "--record", "--list", "C:\\reports")
    j("policy list")
    j("policy list", "--records")
    text = j("policy show", new_id)["text"]
    j("policy add", text)
    saved = os.path.join(scratch, "policies.dat")
    j("policy save", saved)
    j("policy load", saved)
    j("policy load", os.path.join(scratch, "missing.dat"), status=1)
    j("policy restore")
    # A journal left by a load that was killed in the middle is put back.
    shutil.copyfile(saved, os.path.join(os.environ["NUVEXCTL_STATE_DIR"], "policy-journal.dat"))
    if not j("policy restore")["restored"]:
        raise Failure("policy restore did not put back the table of a journal left behind")
    j("policy delete", record["id"])
    j("procs")
    j("docs")
    j("signcode", sys.executable)
    key = os.path.join(scratch, "document.key")
    with open(key, "w") as f:
        f.write("00112233445566778899aabbccddeeff\n")
    os.chmod(key, 0o600)
    j("key set", "--key-file", key)
    j("syskey set", "--key-file", key)
    j("key set", "--key-file", os.path.join(scratch, "missing.key"), status=1)

    # Access control: started (which logs), policies, its log.
    j("acl start")
    j("acl policy add", 4, "--primary", "C:\\secret", "--list", "notepad.exe", "--list", "winword.exe")
    j("acl policy add", 5, "--primary", "x" * 200, status=2)
    j("acl policy list")
    j("acl policy show", 4)
    acl = j("acl log")
    if not acl["records"]:
        raise Failure("acl log: no record after the access-control driver was started")
    shown = j("log show")
    if not shown["records"]:
        raise Failure("log show: no record after logging was switched on and pass paths were added")

    # Documents.
    files = []
    for name in ("report.txt", "notes.txt"):
        path = os.path.join(scratch, name)
        with open(path, "w") as f:
            f.write("quarterly figures\n" * 50)
        files.append(path)
    j("doc encrypt", "--key-file", key, *files)
    again = j("doc encrypt", "--key-file", key, files[0])
    if again["files"][0]["status"] != "skipped: already a document":
        raise Failure(f"doc encrypt of a document: {again}")
    j("doc encrypt", "--key-file", key, os.path.join(scratch, "absent.txt"), status=1)
    j("doc info", files[0])
    j("doc info", os.path.join(scratch, "absent.txt"), status=1)
    j("doc guid", files[0])
    password = os.path.join(scratch, "password")
    with open(password, "w") as f:
        f.write("correct horse\n")
    os.chmod(password, 0o600)
    j("doc rights set", files[0], "--print", 3, "--count", 5, "--value", "0011223344556677", "--password-file", password)
    j("doc rights get", files[0])
    j("doc info", files[0])
    j("doc print-count set", files[0], 4)
    j("doc print-count get", files[0])
    j("doc rights clear", files[0], "--password-file", password)
    j("doc print-count get", files[1], status=1)  # no rights header: an export failure
    j("doc decrypt", "--key-file", key, files[1], "--out", os.path.join(scratch, "plain.txt"))
    j("doc decrypt", "--key-file", key, files[0])
    with open(files[1] + ".lumadtmp7", "w") as f:
        f.write("left by a run that was cut off")
    j("doc clean", files[1])

    # Declared state: exported, changed, applied (dry run first), and refused.
    state = os.path.join(scratch, "machine.json")
    j("state export", state)
    exported = j("state export", schema="state-file.json")
    exported["main"]["logging"] = False
    exported["main"]["passPaths"] = ["/srv/build"]
    exported["acl"]["policies"].append({"id": 9, "primaryText": "D:\\hr", "textLists": ["excel.exe"]})
    exported["acl"]["policies"] = [p for p in exported["acl"]["policies"] if p["id"] != 4]
    with open(state, "w") as f:
        json.dump(exported, f)
    run.schemas.check("state-file.json", exported, "the changed state file")
    with open(os.path.join(SOURCE_DIR, "examples", "state", "machine.json"), encoding="utf-8") as f:
        run.schemas.check("state-file.json", json.load(f), "examples/state/machine.json")
    plan = j("state apply", "--dry-run", state)
    actions = {(c["action"], c["object"]) for c in plan["changes"]}
    for wanted in (("set", "main.logging"), ("clear", "main.passPaths"), ("add", "acl.policy"), ("delete", "acl.policy")):
        if wanted not in actions:
            raise Failure(f"state apply --dry-run: no {wanted} change in {plan['changes']}")
    j("state apply", state)
    again = j("state apply", state)
    if again["changes"]:
        raise Failure(f"state apply of the state just applied changes something: {again['changes']}")
    j("state apply", os.path.join(scratch, "missing.json"), status=1)
    with open(state, "w") as f:
        f.write('{"nuvexctlState": 1, "main": {"colour": "blue"}}')
    j("state apply", state, status=1)

    # The log stream, then clearing and stopping what was switched on.
    j("log on")
    follow(run)
    j("log off")
    j("log clear")
    j("acl policy delete", 9)
    j("acl policy clear")
    j("acl stop")
    j("policy clear")
    j("passpath clear")

    # Uninstalled, twice.
    for driver in ("main", "acl", "monitor"):
        j("driver uninstall", driver)
        again = j("driver uninstall", driver)
        if again["changed"] or again["state"] != "not installed":
            raise Failure(f"driver uninstall of an absent driver: {again}")
    j("status")


def stop_drivers(root):
    # Leave no simulated driver running, whatever happened.
    drivers = os.path.join(root, "Drivers")
    # Only a process that still runs for this root: a recorded driver may have ended, and its
    # pid be another process's by now.
    for name in ("Nuvex.pid", "NuvexACL.pid", "NuvexMon.pid"):
        try:
            with open(os.path.join(drivers, name)) as f:
                pid = int(f.read().strip())
            with open(f"/proc/{pid}/environ", "rb") as f:
                environment = b"\0" + f.read()
            if b"\0NUVEX_HOST_ROOT=" + os.fsencode(root) + b"\0" in environment:
                os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    tool, folder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    schemas = Schemas(folder)
    root = tempfile.mkdtemp(prefix="nuvex-schemas-")  # owner-only, as the machine root must be
    scratch = os.path.join(root, "scratch")
    os.mkdir(scratch)
    os.environ["NUVEX_HOST_ROOT"] = root
    os.environ["NUVEXCTL_STATE_DIR"] = os.path.join(root, "state")
    run = Run(tool, schemas, root)
    problems = []
    started = time.monotonic()
    try:
        scenario(run, scratch)
    except Failure as e:
        problems.append(str(e))
    finally:
        for driver in ("main", "acl", "monitor"):
            subprocess.run([tool, "driver", "uninstall", driver], capture_output=True)
        stop_drivers(root)
        shutil.rmtree(root, ignore_errors=True)
    if not problems:
        verbs = leaf_verbs(tool) | HIDDEN
        for verb in sorted(verbs - NO_JSON):
            if schema_name(verb) not in schemas.files:
                problems.append(f"nuvexctl {verb} prints JSON but docs/schema/ has no {schema_name(verb)}")
            elif verb not in run.checked:
                problems.append(f"nuvexctl {verb}: no output of it was validated")
        known = {schema_name(v) for v in verbs} | {"common.json", "error.json", "version.json", "state-file.json"}
        for name in sorted(set(schemas.files) - known):
            problems.append(f"docs/schema/{name} belongs to no verb")
        for name in sorted(set(schemas.files) - schemas.used - {"common.json"}):
            problems.append(f"docs/schema/{name} was used by no validated output")
    for problem in problems:
        print("check_schemas: " + problem, file=sys.stderr)
    print(f"check_schemas: {run.count} documents of {len(run.checked)} verbs validated against "
          f"{len(schemas.files)} schemas in {time.monotonic() - started:.1f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
