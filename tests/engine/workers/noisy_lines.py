"""Prints lines that must all be dropped, with one valid report split across writes and a
CR before its line feed, then waits for the end of its input."""

import time

from common import raw, read_input

for line in [
    b"not json at all\n",
    b"\n",
    b"[1, 2, 3]\n",
    b'[{"state": "playing"}]\n',
    b"42\n",
    b'"playing"\n',
    b'{"state": 7}\n',
    b'{"status": "playing"}\n',
    b'{"state": "playing"\n',
    b'{"state": "\xff\xfe"}\n',
]:
    raw(line)
raw(b'{"state": "rec')
time.sleep(0.2)
raw(b'onnecting"}\r\n{"state": "streaming", "bytes_in": 4096}\n')
read_input()
