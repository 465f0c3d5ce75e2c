"""Stand-in sender worker for launch tests: reports ready at once, then a heartbeat
every second while it drains its standard input, and ends at end of input or SIGTERM.
Each start appends a line to $SCRIPTED_SENDER_STARTS when that is set."""
import json
import os
import sys
import threading
import time

starts = os.environ.get("SCRIPTED_SENDER_STARTS")
if starts:
    with open(starts, "a", encoding="utf-8") as f:
        f.write(f"{os.getpid()} {time.monotonic():.3f}\n")

received = 0


def report(state, **fields):
    print(json.dumps({"state": state, **fields}), flush=True)


def heartbeat():
    while True:
        time.sleep(1.0)
        report("streaming", bytes_in=received)


report("ready")
threading.Thread(target=heartbeat, daemon=True).start()
while True:
    chunk = sys.stdin.buffer.read1(65536)
    if not chunk:
        break
    received += len(chunk)
