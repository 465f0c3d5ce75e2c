"""Reports "ready", then takes in the PCM and reports "streaming" with the running count.

SONVALE_TEST_SINK: file that receives everything read from standard input.
SONVALE_TEST_EXIT_AFTER: seconds after "ready" at which the worker exits by itself.
"""

import os
import threading
import time

from common import option, read_input, say

say(state="ready")
exit_after = option("EXIT_AFTER")
if exit_after:
    threading.Timer(float(exit_after), lambda: os._exit(0)).start()

last = [0.0]


def report(total):
    now = time.monotonic()
    if now - last[0] >= 0.2:
        last[0] = now
        say(state="streaming", bytes_in=total)


read_input(option("SINK"), report)
