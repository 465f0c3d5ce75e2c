"""Stands in for sender.py: writes $SONVALE_TEST_LINES (backslash escapes as in Python), then
$SONVALE_TEST_THEN: "read" drains standard input into $SONVALE_TEST_SINK with a heartbeat each
second; "wedged" does the same but ignores SIGTERM and outlives its input; "exit" ends;
"stale" ignores SIGTERM and keeps reporting an error. $SONVALE_TEST_STDERR goes to standard error first."""
import json
import os
import signal
import sys
import threading
import time

env = os.environ.get
out = sys.stdout.buffer
sys.stderr.buffer.write(env("SONVALE_TEST_STDERR", "").encode())
sys.stderr.buffer.flush()
out.write(env("SONVALE_TEST_LINES", "").encode().decode("unicode_escape").encode("latin-1"))
out.flush()
then = env("SONVALE_TEST_THEN", "read")
received = 0


def say(**fields):
    out.write(json.dumps(fields).encode() + b"\n")
    out.flush()


if then in ("stale", "wedged"):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
if then == "stale":
    while True:
        time.sleep(0.05)
        say(state="error", message="stale")
elif then in ("read", "wedged"):
    def heartbeat():
        while True:
            time.sleep(1.0)
            say(state="streaming", bytes_in=received)

    def later():  # $SONVALE_TEST_LATER a second after the first lines
        time.sleep(1.0)
        out.write(env("SONVALE_TEST_LATER", "").encode().decode("unicode_escape").encode("latin-1"))
        out.flush()

    threading.Thread(target=heartbeat, daemon=True).start()
    threading.Thread(target=later, daemon=True).start()
    sink = open(env("SONVALE_TEST_SINK"), "ab") if env("SONVALE_TEST_SINK") else None
    while chunk := sys.stdin.buffer.read1(65536):
        received += len(chunk)
        if sink:
            sink.write(chunk)
            sink.flush()
    while then == "wedged":
        time.sleep(1)
