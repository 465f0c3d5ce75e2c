"""Helpers for the scripted sender workers the engine tests run in place of sender.py."""

import json
import os
import sys
import time


def say(**fields):
    raw(json.dumps(fields).encode() + b"\n")


def raw(data):
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()


def option(name, default=None):
    return os.environ.get("SONVALE_TEST_" + name, default)


def read_input(sink=None, on_chunk=None):
    """Reads standard input to its end, appending it to the file `sink` when given."""
    out = open(sink, "ab") if sink else None
    total = 0
    while chunk := sys.stdin.buffer.read1(65536):
        total += len(chunk)
        if out:
            out.write(chunk)
            out.flush()
        if on_chunk:
            on_chunk(total)


def sleep_forever():
    while True:
        time.sleep(60)
