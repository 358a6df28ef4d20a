#!/usr/bin/env python3
"""Mutation check: how many realistic one-line faults does the test suite catch?

Each fault in faults.txt names a file, a text that occurs exactly once in it
and its replacement. The product tree is copied to a scratch folder and built
there once; then each fault in turn is applied, the tree rebuilt
incrementally, and the whole suite run (stopping at the first failing test).
A fault is killed when a test fails, survives when the suite passes, and is
invalid when its text is not found once or the mutated tree does not build.

    mutants.py [--check] [--list FILE] [--work DIR] [--timeout S] [ID ...]

--check only verifies that every fault applies to the current tree.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Fault:
    def __init__(self, ident, what, path, original, replacement):
        self.ident, self.what, self.path = ident, what, path
        self.original, self.replacement = original, replacement


def read_faults(list_path):
    """Blocks of: "== id: what", the file, "- original", "+ replacement"."""
    faults, block = [], []
    with open(list_path, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f] + [""]
    for line in lines:
        if line.startswith("#"):
            continue
        if line.strip():
            block.append(line)
            continue
        if not block:
            continue
        if len(block) != 4 or not block[0].startswith("== ") or not block[2].startswith("- ") \
                or not block[3].startswith("+ "):
            sys.exit("malformed fault block in %s:\n  %s" % (list_path, "\n  ".join(block)))
        ident, _, what = block[0][3:].partition(":")
        faults.append(Fault(ident.strip(), what.strip(), block[1].strip(), block[2][2:], block[3][2:]))
        block = []
    idents = [fault.ident for fault in faults]
    duplicates = {i for i in idents if idents.count(i) > 1}
    if duplicates:
        sys.exit("duplicate fault ids: %s" % ", ".join(sorted(duplicates)))
    return faults


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         check=True, capture_output=True).stdout.decode()
    return [p for p in out.split("\0") if p and os.path.isfile(os.path.join(ROOT, p))]


def sync_tree(scratch):
    """Mirrors the working tree into scratch, touching only files whose bytes differ."""
    wanted = set(tracked_files())
    for path in wanted:
        src, dst = os.path.join(ROOT, path), os.path.join(scratch, path)
        with open(src, "rb") as f:
            data = f.read()
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
    for folder, _, names in os.walk(scratch):
        for name in names:
            rel = os.path.relpath(os.path.join(folder, name), scratch)
            if rel not in wanted:
                os.remove(os.path.join(folder, name))


def check(faults, tree):
    problems = []
    for fault in faults:
        path = os.path.join(tree, fault.path)
        if not os.path.exists(path):
            problems.append("%s: no file %s" % (fault.ident, fault.path))
            continue
        with open(path, encoding="utf-8") as f:
            count = f.read().count(fault.original)
        if count != 1:
            problems.append("%s: the text occurs %d times in %s" % (fault.ident, count, fault.path))
    return problems


def run(command, cwd, timeout=None):
    try:
        result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        return result.returncode, result.stdout + result.stderr
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return -1, out + "\n(timed out)"


def build(build_dir):
    return run(["cmake", "--build", build_dir], ROOT)


def run_suite(build_dir, timeout):
    """Runs the suite up to its first failure; returns (passed, first failing test, its first failure line)."""
    code, out = run(["ctest", "-j%d" % (os.cpu_count() or 2), "--stop-on-failure", "--output-on-failure", "--timeout", str(timeout)], build_dir)
    if code == 0:
        return True, None, None
    failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
    detail = re.search(r"^FAIL!  : (\S+?\(.*?\))|(Timeout|Subprocess aborted|SEGFAULT|Exception)", out, re.M)
    return False, failed[0] if failed else "ctest", (detail.group(1) or detail.group(2)) if detail else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ids", nargs="*", help="run only these faults")
    parser.add_argument("--list", default=os.path.join(ROOT, "tools", "mutants", "faults.txt"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--timeout", type=int, default=120, help="seconds per test program")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies")
    args = parser.parse_args()

    faults = read_faults(args.list)
    if args.ids:
        unknown = set(args.ids) - {f.ident for f in faults}
        if unknown:
            sys.exit("unknown fault ids: %s" % ", ".join(sorted(unknown)))
        faults = [f for f in faults if f.ident in args.ids]
    problems = check(faults, ROOT)
    if args.check or problems:
        print("\n".join(problems) if problems else "all %d faults apply" % len(faults))
        sys.exit(1 if problems else 0)

    scratch, build_dir = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(scratch, exist_ok=True)
    sync_tree(scratch)
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        code, out = run(["cmake", "-S", scratch, "-B", build_dir, "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=Release"], ROOT)
        if code != 0:
            sys.exit(out)
    print("building the scratch copy in %s ..." % build_dir, flush=True)
    code, out = build(build_dir)
    if code != 0:
        sys.exit(out[-4000:])
    started = time.time()
    passed, test, detail = run_suite(build_dir, args.timeout)
    if not passed:
        sys.exit("the suite fails without any fault: %s %s" % (test, detail))
    print("the unmutated suite passes in %.0f s; trying %d faults" % (time.time() - started, len(faults)), flush=True)

    killed, survived, invalid = [], [], []
    for fault in faults:
        path = os.path.join(scratch, fault.path)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(fault.original, fault.replacement, 1))
            started = time.time()
            code, out = build(build_dir)
            if code != 0:
                invalid.append(fault)
                print("%-9s %-28s does not build" % ("invalid", fault.ident), flush=True)
                continue
            passed, test, detail = run_suite(build_dir, args.timeout)
            seconds = time.time() - started
            if passed:
                survived.append(fault)
                print("%-9s %-28s %s (%.0f s)" % ("SURVIVED", fault.ident, fault.what, seconds), flush=True)
            else:
                killed.append(fault)
                print("%-9s %-28s by %s %s (%.0f s)" % ("killed", fault.ident, test, detail, seconds), flush=True)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
    build(build_dir)

    tried = len(killed) + len(survived)
    print("\nscore: %d of %d faults killed (%.0f%%)%s" % (
        len(killed), tried, 100.0 * len(killed) / max(tried, 1),
        ", %d invalid" % len(invalid) if invalid else ""))
    if survived:
        print("survivors: " + ", ".join(f.ident for f in survived))
    sys.exit(0)


if __name__ == "__main__":
    main()
