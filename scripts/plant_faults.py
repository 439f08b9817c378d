#!/usr/bin/env python3
"""Plants known faults into the code one at a time and records which the test suite catches.

Each fault in scripts/planted-faults.txt replaces one exact piece of text in one file. For every
fault the script patches a scratch copy of the tree (a detached git worktree of HEAD, so the
developer's tree is never touched), rebuilds the Release configuration, runs CTest, and counts
the fault as caught when at least one test fails. A fault whose anchor text is not found exactly
once, or whose patched code does not build, is reported as such: a planted fault must compile,
or it says nothing about the tests.

    scripts/plant_faults.py                    every fault, table on stdout
    scripts/plant_faults.py --only ID[,ID]     some of them
    scripts/plant_faults.py --list             the faults and whether their anchors still match
    scripts/plant_faults.py --out FILE.md      also write the table to FILE.md
    scripts/plant_faults.py --keep             keep the scratch tree (/tmp/pelmora-faults-<checkout>)
    scripts/plant_faults.py --tests REGEX      only the tests whose names match (CTest -R)
    scripts/plant_faults.py --all-tests        run every test for every fault (slow), not only up to
                                               the first failure
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS = os.path.join(ROOT, "scripts", "planted-faults.txt")
# One scratch tree per checkout, so two worktrees can run the script at once.
SCRATCH = "/tmp/pelmora-faults-" + os.path.basename(ROOT)


def parse_faults(path):
    """Blocks of 'id: what' followed by file:, from:, to: lines; from/to may repeat '\\n'."""
    faults, cur = [], None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line.startswith("== "):
                ident, _, what = line[3:].partition(":")
                cur = {"id": ident.strip(), "what": what.strip()}
                faults.append(cur)
                continue
            key, _, value = line.partition(":")
            if cur is None or key.strip() not in ("file", "from", "to"):
                sys.exit(f"{path}: cannot read line: {line}")
            cur[key.strip()] = value[1:] if value.startswith(" ") else value
    for fault in faults:
        for key in ("file", "from", "to"):
            if key not in fault:
                sys.exit(f"{path}: fault {fault['id']} has no '{key}:' line")
            fault[key] = fault[key].replace("\\n", "\n")
    return faults


def anchor_count(tree, fault):
    try:
        with open(os.path.join(tree, fault["file"]), encoding="utf-8") as f:
            return f.read().count(fault["from"])
    except FileNotFoundError:
        return 0


def run(cmd, cwd, log):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        return subprocess.call(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)


def failed_tests(build):
    path = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.strip().split(":", 1)[-1] for line in f if line.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default="")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--out", default="")
    ap.add_argument("--keep", action="store_true")
    # A fault counts as caught at the first failing test, so a run stops there; --all-tests
    # runs the whole suite for every fault and names every test that catches it.
    ap.add_argument("--all-tests", action="store_true")
    ap.add_argument("--ctest-args", default="--timeout 300")
    # A planted fault often makes a test wait for something that never comes; the slowest test
    # takes under 30 s on an idle machine, so a run with a fault gives up on a test after 120 s
    # (a time-out counts as caught, and the table says so).
    ap.add_argument("--fault-timeout", default="120")
    # Only the tests whose names match (CTest -R): a change to one subsystem's tests can show
    # that its own tests still catch that subsystem's faults without waiting for the rest.
    ap.add_argument("--tests", default="")
    args = ap.parse_args()

    faults = parse_faults(FAULTS)
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in faults if f["id"] in wanted]
    if args.list:
        for fault in faults:
            n = anchor_count(ROOT, fault)
            state = "ok" if n == 1 else f"ANCHOR FOUND {n} TIMES"
            print(f"{fault['id']:<22} {state:<22} {fault['file']}: {fault['what']}")
        return 0

    if os.path.exists(SCRATCH):
        subprocess.call(["git", "worktree", "remove", "--force", SCRATCH], cwd=ROOT)
        shutil.rmtree(SCRATCH, ignore_errors=True)
    subprocess.check_call(["git", "worktree", "add", "--detach", "-q", SCRATCH, "HEAD"], cwd=ROOT)
    build = os.path.join(SCRATCH, "build")
    log = os.path.join(SCRATCH, "faults.log")
    jobs = str(os.cpu_count() or 2)
    env_note = "ccache" if shutil.which("ccache") else ""
    configure = ["cmake", "-S", ".", "-B", "build", "-DCMAKE_BUILD_TYPE=Release"]
    if env_note:
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    os.environ.setdefault("CCACHE_BASEDIR", os.path.dirname(SCRATCH))
    ctest = ["ctest", "-j", jobs] + args.ctest_args.split()
    fault_ctest = ["ctest", "-j", jobs, "--timeout", args.fault_timeout] + \
        ([] if args.all_tests else ["--stop-on-failure"])
    if args.tests:
        ctest += ["-R", args.tests]
        fault_ctest += ["-R", args.tests]

    print(f"scratch tree {SCRATCH}, log {log}", flush=True)
    if run(configure, SCRATCH, log) or run(["cmake", "--build", "build", "-j", jobs], SCRATCH, log):
        sys.exit("the unchanged tree does not build; see " + log)
    if run(ctest, build, log):
        # A test that fails once on the unchanged tree and passes when run again is named, not
        # fatal: the table's failing-tests column then shows whether it is the one that caught.
        flaky = failed_tests(build)
        if run(ctest + ["--rerun-failed"], build, log):
            sys.exit("the unchanged tree fails its tests (" + ", ".join(failed_tests(build)) + "); see " + log)
        print("unchanged tree: failed once, passed when run again: " + ", ".join(flaky), flush=True)

    rows = []
    for fault in faults:
        started = time.time()
        target = os.path.join(SCRATCH, fault["file"])
        if anchor_count(SCRATCH, fault) != 1:
            rows.append((fault, "anchor not found once", []))
        else:
            with open(target, encoding="utf-8") as f:
                original = f.read()
            with open(target, "w", encoding="utf-8") as f:
                f.write(original.replace(fault["from"], fault["to"], 1))
            if run(["cmake", "--build", "build", "-j", jobs], SCRATCH, log):
                rows.append((fault, "does not build", []))
            else:
                start = os.path.getsize(log)
                if run(fault_ctest, build, log):
                    with open(log, errors="replace") as f:
                        f.seek(start)
                        timed_out = set(re.findall(r"Test +#\d+: (\S+) \.+\*\*\*Timeout", f.read()))
                    rows.append((fault, "caught", [t + " (time-out)" if t in timed_out else t
                                                   for t in failed_tests(build)]))
                else:
                    rows.append((fault, "MISSED", []))
            with open(target, "w", encoding="utf-8") as f:
                f.write(original)
        print(f"{fault['id']:<22} {rows[-1][1]:<12} {time.time() - started:5.0f} s  {' '.join(rows[-1][2])}",
              flush=True)
    # Leave the scratch build matching HEAD again, so the next run starts incremental.
    run(["cmake", "--build", "build", "-j", jobs], SCRATCH, log)

    table = ["| fault | what | result | failing tests |", "|---|---|---|---|"]
    for fault, result, tests in rows:
        table.append(f"| {fault['id']} | {fault['what']} | {result} | {', '.join(tests)} |")
    text = "\n".join(table) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    if not args.keep:
        subprocess.call(["git", "worktree", "remove", "--force", SCRATCH], cwd=ROOT)
    return 1 if any(r[1] != "caught" for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
