#!/usr/bin/env python3
"""Applies each deliberate fault listed in scripts/faults/*.json to a scratch copy of the
tree, runs the tests that should notice it, and prints CAUGHT or SURVIVED.

Each fault is {"name", "file", "find", "replace", "test"}: "find" must occur exactly once
in "file"; "test" is a shell command run from the scratch copy's root (it builds what it
runs in ./build), and a non-zero exit means the fault was caught. Every test command must
first pass on the unmodified copy, so that a fault is never counted as caught by a test
that fails anyway. The copy is kept in build-faults/ so that later runs build only what a
fault changes.

    scripts/fault-check.py [NAME-SUBSTRING ...]
Exit status 1 when a fault survived or could not be applied.
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRATCH = ROOT / "build-faults" / "tree"
TIMEOUT = 900


def tracked_files():
    listing = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                             check=True, capture_output=True).stdout
    return [name for name in listing.decode().split("\0") if name]


def refresh_scratch():
    """Copies what changed into the scratch tree; removes what is gone from the source."""
    wanted = set(tracked_files())
    for name in wanted:
        source, target = ROOT / name, SCRATCH / name
        if not source.is_file():
            continue
        if not target.exists() or target.read_bytes() != source.read_bytes():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)  # a fresh mtime, so that ninja rebuilds what changed
    for target in SCRATCH.rglob("*"):
        relative = target.relative_to(SCRATCH).as_posix()
        if target.is_file() and not relative.startswith("build/") and relative not in wanted:
            target.unlink()


def configure():
    subprocess.run(["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DSONVALE_BENCHMARKS=OFF"], cwd=SCRATCH, check=True, stdout=subprocess.DEVNULL)


def passes(command):
    try:
        return subprocess.run(command, shell=True, cwd=SCRATCH, timeout=TIMEOUT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def check(fault):
    path = SCRATCH / fault["file"]
    original = path.read_text(encoding="utf-8")
    if original.count(fault["find"]) != 1:
        return "NOT APPLIED (the text to replace is not there exactly once)"
    path.write_text(original.replace(fault["find"], fault["replace"]), encoding="utf-8")
    try:
        return "SURVIVED" if passes(fault["test"]) else "CAUGHT"
    finally:
        path.write_text(original, encoding="utf-8")


def main():
    wanted = sys.argv[1:]
    faults = []
    for listing in sorted((ROOT / "scripts" / "faults").glob("*.json")):
        faults += [dict(fault, list=listing.stem) for fault in json.loads(listing.read_text(encoding="utf-8"))]
    faults = [f for f in faults if not wanted or any(w in f["name"] for w in wanted)]
    SCRATCH.mkdir(parents=True, exist_ok=True)
    refresh_scratch()
    configure()
    baseline = {}
    failed = 0
    for fault in faults:
        if fault["test"] not in baseline:
            baseline[fault["test"]] = passes(fault["test"])
        verdict = check(fault) if baseline[fault["test"]] else "NOT CHECKED (its test fails without the fault)"
        failed += not verdict.startswith("CAUGHT")
        print(f"{verdict:10} [{fault['list']}] {fault['name']}", flush=True)
    print(f"{len(faults) - failed} of {len(faults)} faults caught")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
