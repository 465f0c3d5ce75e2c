#!/usr/bin/python3
"""steady_loss.py FILE SECONDS: watches FILE (raw 44.1 kHz 16-bit stereo, growing) for SECONDS and prints the
frames that never arrived in that time.

The file grows in whole record fragments, so a size read at an arbitrary instant lags real time by anything up
to a fragment. The lag is sampled every 10 ms; its minimum over a stretch is the lag right after a fragment
arrived (the sampling interval varies, so it is not locked to the fragments' phase), so a loss is the rise of
that minimum from the first second to the last. A rise of more than 10 ms between consecutive seconds is printed
to standard error with its wall-clock time; less than 10 ms in all is taken as the measurement's own noise."""
import os
import random
import sys
import time

path, seconds = sys.argv[1], float(sys.argv[2])
start = time.monotonic()
base = os.stat(path).st_size
floors = []  # the least lag, in frames, in each second
while (now := time.monotonic()) - start < seconds:
    lag = (now - start) * 44100 - (os.stat(path).st_size - base) / 4
    second = int(now - start)
    while second >= len(floors):
        floors.append(lag)
    floors[second] = min(floors[second], lag)
    time.sleep(random.uniform(0.002, 0.008))
for second in range(1, len(floors)):
    rise = floors[second] - floors[second - 1]
    if rise > 441:
        print("%s: %d frames missed" % (time.strftime("%H:%M:%S", time.localtime(time.time() - seconds + second)),
                                        rise), file=sys.stderr)
lost = floors[-1] - floors[0]
print(int(lost) if lost > 441 else 0)
