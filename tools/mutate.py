#!/usr/bin/env python3
"""Mutation run: how many injected faults does the test suite catch?

Each file in tools/mutants/ is a small patch (a description, then a git diff
against the committed tree) that injects one plausible fault. For every
mutant, in a scratch clone of HEAD: apply it, build incrementally, run the
suite. A mutant is killed when a test fails, survives when every test
passes. Prints one line per mutant and a total; the scratch clone and its
build are kept between runs so that later runs build incrementally.

usage: tools/mutate.py [--only REGEX] [--tests REGEX] [--rev REV] [--work DIR] [--jobs N]
                       [--limit SECONDS]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, cwd, timeout=None):
    """Runs cmd, returning (exit code, combined output)."""
    p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, errors="replace", timeout=timeout)
    return p.returncode, p.stdout


def prepare(work, rev):
    """A clean checkout of `rev` in `work` with a configured tree."""
    if not os.path.isdir(os.path.join(work, ".git")):
        shutil.rmtree(work, ignore_errors=True)
        rc, out = run(["git", "clone", "-q", "--no-checkout", ROOT, work], ROOT)
        if rc != 0:
            sys.exit("mutate: cannot clone: " + out)
    commit = run(["git", "rev-parse", "--verify", rev + "^{commit}"], ROOT)[1].strip()
    run(["git", "fetch", "-q", ROOT, commit], work)
    rc, out = run(["git", "reset", "-q", "--hard", commit], work)
    if rc != 0:
        sys.exit("mutate: cannot check out " + rev + ": " + out)
    run(["git", "clean", "-fdq", "-e", "/.deps", "-e", "/build"], work)
    deps = os.path.join(work, ".deps")
    if not os.path.exists(deps):
        os.symlink(os.path.join(ROOT, ".deps"), deps)
    config = ["cmake", "-S", work, "-B", os.path.join(work, "build"),
              "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DLMR_WERROR=OFF"]
    if shutil.which("ccache"):
        config.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    rc, out = run(config, work)
    if rc != 0:
        sys.exit("mutate: cannot configure:\n" + out)


def build(work, jobs):
    return run(["cmake", "--build", os.path.join(work, "build"), "-j", str(jobs)], work)


def test(work, jobs, tests, limit):
    """Runs the suite; a suite still running after `limit` seconds (a mutant
    that makes something hang) is stopped with all its processes and counts
    as failed: the tests' own timeouts would end it the same way, later."""
    cmd = ["ctest", "-j", str(jobs), "--timeout", "300", "--stop-on-failure"]
    if tests:
        cmd += ["-R", tests]
    p = subprocess.Popen(cmd, cwd=os.path.join(work, "build"), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, errors="replace",
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return 1, out + f"   0 - suite-timed-out-after-{limit}s (Failed)\n"


def first_failure(output):
    # Tests that --stop-on-failure kept from running are listed as "Not Run";
    # a parameterised test's name is followed by its parameter.
    for m in re.finditer(r"^\s*\d+ - (\S+).*\(([^()]*)\)\s*$", output, re.M):
        if m.group(2) != "Not Run":
            return m.group(1)
    return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--only", default="", help="run the mutants whose file name matches REGEX")
    ap.add_argument("--tests", default="", help="run only the tests matching REGEX")
    ap.add_argument("--rev", default="HEAD", help="the commit whose suite is measured")
    ap.add_argument("--work", default=os.path.join(ROOT, "build-mutate"),
                    help="scratch clone (kept; ignored by git)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--limit", type=int, default=900,
                    help="seconds after which a mutant's suite run counts as hung (killed)")
    args = ap.parse_args()

    mutants_dir = os.path.join(ROOT, "tools", "mutants")
    mutants = sorted(f for f in os.listdir(mutants_dir)
                     if f.endswith(".patch") and re.search(args.only, f))
    prepare(args.work, args.rev)
    rc, out = build(args.work, args.jobs)
    if rc != 0:
        sys.exit("mutate: the unmutated tree does not build:\n" + out[-3000:])
    rc, out = test(args.work, args.jobs, args.tests, 3 * args.limit)
    if rc != 0:
        sys.exit("mutate: the suite fails before any mutant; first failure: " +
                 first_failure(out))

    counts = {}
    for name in mutants:
        patch = os.path.join(mutants_dir, name)
        start = time.monotonic()
        if run(["git", "apply", "--check", patch], args.work)[0] != 0:
            verdict, detail = "does-not-apply", ""
        else:
            run(["git", "apply", patch], args.work)
            rc, out = build(args.work, args.jobs)
            if rc != 0:
                errors = [l for l in out.splitlines() if "error" in l]
                verdict, detail = "does-not-build", (errors or [""])[0][:100]
            else:
                rc, out = test(args.work, args.jobs, args.tests, args.limit)
                verdict = "killed" if rc != 0 else "survived"
                detail = "by " + first_failure(out) if rc != 0 else ""
            run(["git", "checkout", "-q", "--", "."], args.work)
            run(["git", "clean", "-fdq", "-e", "/.deps", "-e", "/build"], args.work)
        counts[verdict] = counts.get(verdict, 0) + 1
        print(f"{verdict:15} {name[:-6]:45} {time.monotonic() - start:5.0f} s  {detail}",
              flush=True)
    # Leave the scratch build matching HEAD for the next run.
    build(args.work, args.jobs)
    summary = ", ".join(f"{counts.get(k, 0)} {k}" for k in
                        ("killed", "survived", "does-not-build", "does-not-apply"))
    print(f"total: {len(mutants)} mutants: {summary}")


if __name__ == "__main__":
    main()
