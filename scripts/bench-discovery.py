#!/usr/bin/python3
"""Discovery on a crowded network: in a private network namespace, tests/sender/crowded_network.py answers with 12
names that never resolve, 38 other speakers' records and the wanted speaker. Measures (median of RUNS):
  found     seconds from the worker's start until its log says it found the speaker
  sigterm   seconds from SIGTERM (sent 1 s into a browse for a name nobody has) until the worker exits
  listing   seconds a `--list-speakers --seconds 3` run takes, and the speakers it names
  grouping  seconds to group 3,001 records (1,000 speakers with both records, 1,001 without a device id)
Needs root (unshare, nsenter). Usage: scripts/bench-discovery.py [RUNS]"""

import os
import re
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKER = ["nsenter", "-t", "PID", "-n",
          "/usr/bin/python3", "-s", "-B", "-u", os.path.join(ROOT, "resources", "sender.py")]
ENV = {**os.environ, "SONVALE_VENDOR": os.path.join(ROOT, "resources", "vendor")}


def found() -> float:
    start = time.monotonic()
    proc = subprocess.Popen(WORKER + ["--name", "卧室"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=ENV, text=True)
    for line in proc.stderr:
        if "found '卧室'" in line or "not found" in line:
            break
    took = time.monotonic() - start if "found '卧室'" in line else float("inf")
    proc.kill()
    proc.wait()
    return took


def sigterm() -> float:
    proc = subprocess.Popen(WORKER + ["--name", "Nobody"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=ENV)
    time.sleep(1.0)
    start = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    return time.monotonic() - start


def listing() -> tuple:
    start = time.monotonic()
    out = subprocess.run(WORKER + ["--list-speakers", "--seconds", "3"], capture_output=True, text=True, env=ENV)
    return time.monotonic() - start, len(out.stdout.splitlines())


def grouping() -> float:
    sys.path.insert(0, ENV["SONVALE_VENDOR"])
    from pyatv import discovery as d
    records = [d.Record(kind, "Room %d" % i, "%012X" % i, 7000, ["10.0.%d.%d" % divmod(i, 250)], {})
               for i in range(1000) for kind in (d.RAOP_TYPE, d.AIRPLAY_TYPE)]
    records += [d.Record(d.AIRPLAY_TYPE, "Other %d" % i, None, 7000, ["10.1.%d.%d" % divmod(i, 250)], {})
                for i in range(1001)]
    start = time.monotonic()
    assert len(d.group(records)) == 2001
    return time.monotonic() - start


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    fake = subprocess.Popen(["unshare", "-n", "/usr/bin/python3", os.path.join(ROOT, "tests", "sender",
                             "crowded_network.py"), "卧室", "38", "12"], stdout=subprocess.PIPE, text=True)
    fake.stdout.readline()
    WORKER[:4] = ["nsenter", "-t", str(fake.pid), "-n"]
    try:
        finds, stops, lists = ([f() for _ in range(runs)] for f in (found, sigterm, listing))
    finally:
        fake.kill()
        fake.wait()
    print("found the speaker after %s s (median %.2f)" % (", ".join("%.2f" % t for t in finds),
                                                           statistics.median(finds)))
    print("SIGTERM during discovery: exit after %s s" % ", ".join("%.2f" % t for t in stops))
    print("grouping 3,001 records: %.3f s" % grouping())
    print("listing for 3 s: %s" % ", ".join("%.2f s, %d speakers" % entry for entry in lists))


if __name__ == "__main__":
    main()
