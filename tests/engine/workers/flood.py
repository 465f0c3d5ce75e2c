"""Writes without a line feed until SONVALE_TEST_FLOOD_BYTES have gone out, then ends the
line and reports "playing"; without the option it never stops."""

from common import option, raw, read_input

limit = int(option("FLOOD_BYTES", "0"))
chunk = b'{"state": "playing", "pad": "' + b"x" * 65536
sent = 0
while not limit or sent < limit:
    raw(chunk)
    sent += len(chunk)
raw(b'"}\n{"state": "playing"}\n')
read_input()
