"""Ignores SIGTERM and the end of its input: only SIGKILL ends it."""

import signal

from common import read_input, say, sleep_forever

signal.signal(signal.SIGTERM, signal.SIG_IGN)
say(state="idle")
read_input()
sleep_forever()
