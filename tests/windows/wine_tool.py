#!/usr/bin/env python3
"""nuvexctl.exe under Wine: names outside the ANSI code page and interrupted runs.

    wine_tool.py <wine_run.sh> <prefix directory> <nuvexctl.exe> [interrupted runs]

Names: a name the ANSI code page (1252 in the C.UTF-8 locale) cannot write is refused, never
replaced by a look-alike (`ą.txt` by `a.txt`), whether it is given on the command line or met
in a folder. A walk reaches the folders below the one named and the key checks of the documents
it made. Interrupts: Ctrl-C (SIGINT to the Wine process, which Wine turns into a console
Ctrl-C event) during `--json doc encrypt -r` ends the run with status 130, one JSON document
that says so, no temporary file left, and every file either its plain self or a whole document.
"""
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

WINE_RUN, PREFIX, TOOL = sys.argv[1:4]
RUNS = int(sys.argv[4]) if len(sys.argv) > 4 else 20
KEY_HEX = "00112233445566778899aabbccddeeff"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)


def tool(args, cwd, wait=True):
    env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    command = [WINE_RUN, PREFIX, TOOL] + args
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if not wait:
        return process
    out, err = process.communicate(timeout=240)
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def key_file(folder):
    path = os.path.join(folder, "document.key")
    write(path, KEY_HEX.encode())
    os.chmod(path, 0o600)
    return "document.key"


def names(work):
    key = key_file(work)
    plain = {"a.txt": b"plain a\n", "\u0105.txt": b"plain ogonek\n", "\u65e5\u672c.txt": b"nihon\n"}
    for name, data in plain.items():
        write(os.path.join(work, name), data)
    # Named on the command line: refused before anything is touched.
    status, out, err = tool(["--json", "doc", "encrypt", "--key-file", key, "\u0105.txt"], work)
    check(status == 2, f"a name outside the code page is refused with status 2 (got {status}: {err})")
    check("\u0105.txt" in json.loads(out)["error"]["message"], "the refusal names the argument as given")
    check(all(read(os.path.join(work, n)) == d for n, d in plain.items()), "no file is touched by the refusal")
    # Met in a folder: reported as failed under its own name; the others are encrypted, in a
    # folder below too (reached through the handle of the folder above it).
    os.makedirs(os.path.join(work, "tree", "sub"))
    for name, data in plain.items():
        write(os.path.join(work, "tree", name), data)
    write(os.path.join(work, "tree", "sub", "b.txt"), b"plain b\n")
    status, out, err = tool(["--json", "doc", "encrypt", "--key-file", key, "-r", "tree"], work)
    check(status == 1, f"a walk with unnamable files fails (got {status}: {err})")
    summary = json.loads(out)
    by_name = {entry["file"].replace("\\", "/"): entry["status"] for entry in summary["files"]}
    check(by_name.get("tree/a.txt") == "encrypted", f"a.txt is encrypted ({by_name})")
    check(by_name.get("tree/sub/b.txt") == "encrypted", f"sub/b.txt is encrypted ({by_name})")
    check(by_name.get("tree/\u0105.txt") == "failed", f"\u0105.txt is reported failed under its name ({by_name})")
    check(by_name.get("tree/\u65e5\u672c.txt") == "failed", f"\u65e5\u672c.txt is reported failed ({by_name})")
    check(summary["done"] == 2 and summary["failed"] == 2, f"counts: {summary}")
    check(read(os.path.join(work, "tree", "\u0105.txt")) == plain["\u0105.txt"], "\u0105.txt stays plain")
    # The key checks of the documents the walk made are read inside their folders: the built-in
    # key is refused, the key they were made with gives the plain bytes back.
    status, out, err = tool(["--json", "doc", "decrypt", "--default-key", "-r", "tree"], work)
    check(status == 1 and json.loads(out)["done"] == 0, f"another key is refused in a walk (got {status}: {out})")
    status, out, err = tool(["--json", "doc", "decrypt", "--key-file", key, "-r", "tree"], work)
    check(json.loads(out)["done"] == 2, f"the walk decrypts with its key (got {status}: {out})")
    check(read(os.path.join(work, "tree", "sub", "b.txt")) == b"plain b\n", "sub/b.txt has its plain bytes back")


def interrupts(work):
    key = key_file(work)
    tree = os.path.join(work, "walk")
    os.mkdir(tree)
    originals = {}
    rng = random.Random(2026)
    for i in range(6):
        data = bytes([65 + i]) * ((4 + i) << 20)
        originals[f"f{i}.bin"] = data
    for i in range(40):
        originals[f"s{i}.txt"] = b"figures %d\n" % i
    interrupted = cancelled = 0
    for run in range(RUNS):
        for name, data in originals.items():
            write(os.path.join(tree, name), data)
        process = tool(["--json", "doc", "encrypt", "--key-file", key, "-r", "walk"], work, wait=False)
        # Interrupt once the run is working on a file, a little later each time.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and process.poll() is None:
            if any(".lumadtmp" in n for n in os.listdir(tree)):
                break
            time.sleep(0.002)
        time.sleep(rng.uniform(0, 0.4))
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=240)
        out, err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
        what = f"run {run}"
        try:
            summary = json.loads(out)
        except ValueError:
            check(False, f"{what}: one JSON document (status {process.returncode}, out {out!r}, err {err!r})")
            continue
        if summary.get("interrupted"):
            interrupted += 1
            cancelled += summary["cancelled"]
            check(process.returncode == 130, f"{what}: interrupted run ends with 130 (got {process.returncode})")
        else:
            check(process.returncode == 0, f"{what}: a run that finished first ends with 0 (got {process.returncode})")
        left = [n for n in os.listdir(tree) if ".lumadtmp" in n]
        check(not left, f"{what}: no temporary file left ({left})")
        statuses = {e["file"].replace("\\", "/").split("/")[-1]: e["status"] for e in summary.get("files", [])}
        for name, data in originals.items():
            now = read(os.path.join(tree, name))
            if statuses.get(name) == "encrypted":
                check(now != data and len(now) > len(data), f"{what}: {name} is a document")
            else:
                check(now == data, f"{what}: {name} ({statuses.get(name, 'not started')}) is as it was")
        counted = summary["done"] + summary["cancelled"] + summary["notStarted"] + summary["skipped"]
        check(counted == len(originals), f"{what}: every file counted once ({summary['done']}, "
                                         f"{summary['cancelled']}, {summary['notStarted']})")
    print(f"{interrupted} of {RUNS} runs interrupted, {cancelled} files cancelled mid-way", flush=True)
    check(interrupted > 0, "at least one run was interrupted")


def main():
    with tempfile.TemporaryDirectory(prefix="nuvexctl-wine-") as work:
        os.mkdir(os.path.join(work, "names"))
        names(os.path.join(work, "names"))
        os.mkdir(os.path.join(work, "interrupts"))
        interrupts(os.path.join(work, "interrupts"))
    if failures:
        print(f"{len(failures)} checks failed")
        return 1
    print(f"nuvexctl.exe: names and {RUNS} interrupted runs as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
