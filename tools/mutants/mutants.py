#!/usr/bin/env python3
"""Mutation check: how many realistic one-line faults does the test suite catch?

Each fault in faults.txt names a file, a text that occurs exactly once in it
and its replacement. The product tree is copied to a scratch folder and built
there once; then each fault in turn is applied, the tree rebuilt
incrementally, and the suite run up to its first failure: first the test
program of the library the fault is in (built alone, so a fault it catches
costs one library and one test program), then, only if that one passes,
everything else. A fault is killed when a test fails or hangs, survives when
the suite passes, and is invalid when its text is not found once or the
mutated tree does not build.

    mutants.py [--check] [--list FILE] [--work DIR] [--timeout S] [ID ...]
    mutants.py --generate N [--seed S] [--files DIR...] [--resume] [ID ...]
    mutants.py --pool [--files DIR...]

--check only verifies that every fault applies to the current tree (and, with
--generate, that every id of equivalent.txt still names a generated fault).

--generate N draws N faults from those generated from the code itself (see
generate.py) over the given folders (default api run imaging app), one line
at a time in an order fixed by the seed, leaving out the ones equivalent.txt
lists as equivalent; a fault that does not build is replaced by the next, so
that N are tried. Each result is appended to build-mutants/generated-S.tsv as
it comes; --resume skips the faults that file already holds. Ids given
select generated faults instead. --pool lists every generated fault.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

import generate

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))

# The test program that covers each library: run first, since it is the one
# most likely to catch a fault there.
FIRST_TEST = {"imaging": "test_imaging", "api": "test_api", "run": "test_run", "app": "test_window"}


class Fault:
    def __init__(self, ident, what, path, original, replacement, lineno=None):
        self.ident, self.what, self.path = ident, what, path
        self.original, self.replacement = original, replacement
        self.lineno = lineno  # generated faults replace a whole line

    def apply(self, text):
        if self.lineno is None:
            return text.replace(self.original, self.replacement, 1)
        lines = text.split("\n")
        if lines[self.lineno - 1] != self.original:
            raise ValueError("%s: line %d has changed" % (self.path, self.lineno))
        lines[self.lineno - 1] = self.replacement
        return "\n".join(lines)

    def first_test(self):
        return FIRST_TEST.get(self.path.split("/")[0])


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


def run(command, cwd, timeout=None, env=None):
    """Runs command; on a time-out kills its whole process group (test
    programs start stub servers) and returns -1."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace", start_new_session=True, env=env)
    try:
        out, _ = process.communicate(timeout=timeout)
        return process.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, _ = process.communicate()
        return -1, (out or "") + "\n(timed out)"


def build_env(work):
    env = dict(os.environ)
    env.setdefault("CCACHE_DIR", os.path.join(work, "ccache"))
    return env


def build(build_dir, env=None, target=None):
    return run(["cmake", "--build", build_dir] + (["--target", target] if target else []), ROOT, env=env)


def run_suite(build_dir, timeout, only=None, skip=None):
    """Runs the suite (or only one test, or all but one) up to its first
    failure; returns (passed, first failing test, its first failure line)."""
    command = ["ctest", "-j%d" % (os.cpu_count() or 2), "--stop-on-failure", "--output-on-failure"]
    if only:
        command += ["-R", "^%s$" % only]
    if skip:
        command += ["-E", "^%s$" % skip]
    code, out = run(command, build_dir, timeout)
    if code == 0:
        return True, None, None
    if code == -1:
        running = re.findall(r"Start\s+\d+: (\S+)", out)
        finished = re.findall(r"Test\s+#\d+: (\S+) \.", out)
        hung = [t for t in running if t not in finished]
        return False, hung[0] if hung else (only or "ctest"), "Timeout"
    failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
    detail = re.search(r"^FAIL!  : (\S+?\(.*?\))|(Timeout|Subprocess aborted|SEGFAULT|Exception)", out, re.M)
    return False, failed[0] if failed else "ctest", (detail.group(1) or detail.group(2)) if detail else ""


def test_times(build_dir):
    """Runs the whole suite once; returns {test: seconds}, or exits when it fails."""
    code, out = run(["ctest", "-j%d" % (os.cpu_count() or 2), "--output-on-failure"], build_dir)
    if code != 0:
        sys.exit("the suite fails without any fault:\n" + out[-4000:])
    return {name: float(sec) for name, sec in re.findall(r"Test\s+#\d+: (\S+) \.+\s+Passed\s+([\d.]+) sec", out)}


def generated_faults(args):
    """The generated faults to try, in the order to try them."""
    pool = generate.generate(ROOT, args.files)
    equivalents = generate.read_equivalents(args.equivalents)
    if args.ids:
        by_id = {m.ident: m for m in pool}
        unknown = [i for i in args.ids if i not in by_id]
        if unknown:
            sys.exit("unknown generated fault ids: %s" % ", ".join(unknown))
        chosen = [by_id[i] for i in args.ids]
    else:
        chosen = [m for m in sample_order(pool, args.seed) if m.ident not in equivalents]
    print("%d faults generated over %s, %d listed as equivalent" % (
        len(pool), " ".join(args.files), len(set(equivalents) & {m.ident for m in pool})), flush=True)
    return [Fault(m.ident, m.what, m.path, m.original, m.mutated, m.lineno) for m in chosen]


def sample_order(pool, seed):
    """Lines in an order fixed by the seed, one fault of each; then a second
    fault of each line that has more, and so on. Drawing by line keeps a line
    with many constants from taking a large share of the sample."""
    rng = random.Random(seed)
    lines = {}
    for m in sorted(pool, key=lambda m: m.ident):
        lines.setdefault((m.path, m.lineno), []).append(m)
    keys = sorted(lines)
    rng.shuffle(keys)
    for key in keys:
        rng.shuffle(lines[key])
    order, depth = [], 0
    while len(order) < len(pool):
        order.extend(lines[k][depth] for k in keys if depth < len(lines[k]))
        depth += 1
    return order


def print_pool(args):
    pool = generate.generate(ROOT, args.files)
    equivalents = generate.read_equivalents(args.equivalents)
    for m in pool:
        print("%s%s\n    %s" % (m.ident, "  (equivalent)" if m.ident in equivalents else "", m.what))
    kinds = {}
    for m in pool:
        kinds[m.kind] = kinds.get(m.kind, 0) + 1
    print("%d faults: %s" % (len(pool), ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))


def check_equivalents(args):
    pool = {m.ident for m in generate.generate(ROOT, args.files)}
    stale = [i for i in generate.read_equivalents(args.equivalents) if i not in pool]
    print("\n".join("%s: no such generated fault (its line has changed?)" % i for i in stale)
          if stale else "every equivalent id names a generated fault")
    return 1 if stale else 0


def prepare(args):
    """Mirrors the tree into the scratch copy, builds it, and runs the suite
    once; returns (build dir, environment, {test: seconds})."""
    scratch, build_dir = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(scratch, exist_ok=True)
    sync_tree(scratch)
    env = build_env(args.work)
    # No benchmarks or trial tools: the suite needs the product, the tests and the stub server.
    options = ["-DCMAKE_BUILD_TYPE=Release", "-DVELK_BUILD_DEV_TOOLS=OFF"]
    if shutil.which("ccache"):
        # Putting back the original file after each fault is then a cache hit.
        options.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    code, out = run(["cmake", "-S", scratch, "-B", build_dir, "-G", "Ninja"] + options, ROOT, env=env)
    if code != 0:
        sys.exit(out)
    print("building the scratch copy in %s ..." % build_dir, flush=True)
    code, out = build(build_dir, env)
    if code != 0:
        sys.exit(out[-4000:])
    started = time.time()
    times = test_times(build_dir)
    print("the unmutated suite passes in %.0f s (%s)" % (
        time.time() - started, ", ".join("%s %.1f s" % kv for kv in sorted(times.items()))), flush=True)
    return scratch, build_dir, env, times


def try_fault(fault, scratch, build_dir, env, times, limit):
    """Applies fault, rebuilds and tests; returns (status, test, detail, build s, test s)."""
    path = os.path.join(scratch, fault.path)
    with open(path, encoding="utf-8") as f:
        original = f.read()
    first = fault.first_test()
    if first not in times:
        first = None
    # A test that takes four times as long as it did unmutated (and half a
    # minute at least) is taken for a hang.
    first_timeout = min(limit, max(30, 4 * times.get(first, 0)))
    rest_timeout = min(2 * limit, max(60, 4 * sum(t for n, t in times.items() if n != first)))
    seconds = {"build": 0.0, "tests": 0.0}

    def stage(timeout, only=None, skip=None):
        """Builds only's test (everything without it) and runs those tests;
        None when they pass, else the outcome."""
        started = time.time()
        code, _ = build(build_dir, env, only)
        seconds["build"] += time.time() - started
        if code != 0:
            return "invalid", None, "does not build"
        started = time.time()
        passed, test, detail = run_suite(build_dir, timeout, only=only, skip=skip)
        seconds["tests"] += time.time() - started
        return None if passed else ("killed", test, detail)

    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(fault.apply(original))
        # The test of the fault's own library first, built alone; the rest only when it passes.
        outcome = stage(first_timeout, only=first) if first else None
        if outcome is None:
            outcome = stage(rest_timeout, skip=first) or ("survived", None, None)
        return outcome + (seconds["build"], seconds["tests"])
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)


def read_results(path):
    results = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 7:
                    results[fields[0]] = fields
    return results


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ids", nargs="*", help="run only these faults")
    parser.add_argument("--list", default=os.path.join(HERE, "faults.txt"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--timeout", type=int, default=120, help="seconds at most per test program")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies")
    parser.add_argument("--generate", type=int, metavar="N", help="try N faults generated from the code")
    parser.add_argument("--seed", type=int, default=1, help="the seed that orders generated faults (default 1)")
    parser.add_argument("--files", nargs="+", default=["api", "run", "imaging", "app"], metavar="DIR",
                        help="folders to generate faults in (default api run imaging app)")
    parser.add_argument("--equivalents", default=os.path.join(HERE, "equivalent.txt"))
    parser.add_argument("--resume", action="store_true", help="skip generated faults already in the results file")
    parser.add_argument("--pool", action="store_true", help="list every generated fault and its id")
    args = parser.parse_args()

    if args.pool:
        print_pool(args)
        return
    if args.generate is not None:
        if args.check:
            sys.exit(check_equivalents(args))
        faults = generated_faults(args)
        wanted = len(faults) if args.ids else args.generate
    else:
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
        wanted = len(faults)

    scratch, build_dir, env, times = prepare(args)
    results_path = os.path.join(args.work, "generated-%d.tsv" % args.seed) if args.generate is not None else None
    done = read_results(results_path) if results_path and args.resume else {}
    if results_path and not args.resume and os.path.exists(results_path):
        os.remove(results_path)
    print("trying %d faults" % wanted, flush=True)

    killed, survived, invalid, timings = [], [], [], []
    for fault in faults:
        if len(killed) + len(survived) >= wanted:
            break
        if fault.ident in done:
            status, test, detail = done[fault.ident][1:4]
            build_s, test_s = float(done[fault.ident][4]), float(done[fault.ident][5])
            resumed = True
        else:
            status, test, detail, build_s, test_s = try_fault(fault, scratch, build_dir, env, times, args.timeout)
            resumed = False
            timings.append((build_s, test_s))
            if results_path:
                with open(results_path, "a", encoding="utf-8") as f:
                    f.write("\t".join([fault.ident, status, test or "", detail or "", "%.1f" % build_s,
                                        "%.1f" % test_s, fault.what.replace("\t", " ")]) + "\n")
        {"killed": killed, "survived": survived, "invalid": invalid}[status].append(fault)
        tried = len(killed) + len(survived)
        counter = "[%3d/%d] " % (tried, wanted) if args.generate is not None else ""
        seconds = "(%sbuild %.0f s, tests %.0f s)" % ("earlier run: " if resumed else "", build_s, test_s)
        if status == "invalid":
            print("%s%-9s %-28s does not build %s" % (counter, "invalid", fault.ident, seconds), flush=True)
        elif status == "survived":
            print("%s%-9s %-28s %s %s" % (counter, "SURVIVED", fault.ident, fault.what, seconds), flush=True)
        else:
            print("%s%-9s %-28s by %s %s %s" % (counter, "killed", fault.ident, test, detail, seconds), flush=True)
    build(build_dir, env)

    tried = len(killed) + len(survived)
    if tried < wanted:
        print("\nonly %d faults could be tried" % tried)
    print("\nscore: %d of %d faults killed (%.0f%%)%s" % (
        len(killed), tried, 100.0 * len(killed) / max(tried, 1),
        ", %d invalid" % len(invalid) if invalid else ""))
    if timings:
        print("per fault, this run: build %.0f s and tests %.0f s median, %.0f s in all on average" % (
            median([b for b, _ in timings]), median([t for _, t in timings]),
            sum(b + t for b, t in timings) / len(timings)))
    if survived:
        if args.generate is not None:
            print("survivors:\n" + "\n".join("  %s\n      %s" % (f.ident, f.what) for f in survived))
        else:
            print("survivors: " + ", ".join(f.ident for f in survived))
    sys.exit(0)


if __name__ == "__main__":
    main()
