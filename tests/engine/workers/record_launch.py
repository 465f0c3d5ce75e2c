"""Writes what it was started with to SONVALE_TEST_RECORD as JSON, one line to standard
error, reports "idle" and waits for the end of its input."""

import json
import os
import sys

from common import option, read_input, say


def is_open(fd):
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def kind(fd):
    target = os.readlink("/proc/self/fd/%d" % fd)
    return target.split(":")[0] if ":" in target else "file"


record = {
    "cmdline": open("/proc/self/cmdline", "rb").read().decode().split("\0")[:-1],
    "vendor": os.environ.get("SONVALE_VENDOR"),
    "marker": os.environ.get("SONVALE_TEST_MARKER"),
    "fds": [fd for fd in range(1024) if is_open(fd)],
    "stdin": kind(0),
    "stdout": kind(1),
    "stderr": os.readlink("/proc/self/fd/2"),
}
with open(option("RECORD"), "w") as out:
    json.dump(record, out)
sys.stderr.write("worker %d started\n" % os.getpid())
sys.stderr.flush()
say(state="idle")
read_input()
