"""One worker, two shairport-sync receivers ("卧室", "客厅") on their own links from one namespace: both outputs
bit-exact and in step; one receiver killed and started again while the other plays on. Needs root."""

import os
import shutil
import threading
import time
import unittest

from test_shairport_interop import start_receiver, stop_receiver
from worker_support import Worker, longest_bit_exact_run, ramp

TAG, RX = "m%d" % (os.getpid() % 100000), {}


def start(name, net):
    return start_receiver(TAG + str(net), RX_NAME=name, RX_NET=str(net), **({"JOIN_TX": RX["卧室"]["NS_TX"]} if net else {}))


def setUpModule():
    if os.geteuid() != 0 or shutil.which("shairport-sync") is None:
        raise unittest.SkipTest("real-receiver tests skipped: needs root and shairport-sync")
    RX["卧室"] = start("卧室", 0)
    RX["客厅"] = start("客厅", 1)


def tearDownModule():
    for rx in (RX["客厅"], RX["卧室"]):
        stop_receiver(rx)


class Writes:
    """Sizes of the receivers' outputs, polled on one clock; ``at(rx, byte)`` is when that byte was written, from a
    line fitted over the writes of the second around it (the stdout backend writes in chunks of about 8 ms)."""

    def __init__(self):
        self.seen, self.done = {}, threading.Event()
        threading.Thread(target=self._poll, daemon=True).start()

    def _poll(self):
        while not self.done.wait(0.001):
            for rx in list(RX.values()):
                size, log = os.stat(rx["dir"] + "/received.s16", dir_fd=None).st_size if os.path.exists(
                    rx["dir"] + "/received.s16") else -1, self.seen.setdefault(rx["dir"], [])
                if size >= 0 and (not log or log[-1][1] != size):
                    log.append((time.monotonic(), size))

    def at(self, rx, byte):
        near = [(t, b) for t, b in self.seen[rx["dir"]] if abs(b - byte) < 176400]
        mt, mb = sum(t for t, _ in near) / len(near), sum(b for _, b in near) / len(near)
        slope = sum((t - mt) * (b - mb) for t, b in near) / sum((b - mb) ** 2 for _, b in near)
        return mt + slope * (byte - mb)

    def gap(self, rx, since):
        times = [t for t, _ in self.seen[rx["dir"]] if t > since]
        return max(b - a for a, b in zip(times, times[1:]))


def received(rx):
    with open(os.path.join(rx["dir"], "received.s16"), "rb") as f:
        return f.read()


def offsets_ms(writes, pcm, frames):
    out = []
    for i in frames:
        where = [received(rx).find(pcm[i * 4:i * 4 + 64]) for rx in RX.values()]
        if min(where) > 0:
            a, b = (writes.at(rx, at) for rx, at in zip(RX.values(), where))
            out.append((a - b) * 1000)
    return out


def until(worker, *states):
    """客厅's entry in the next "speakers" line that shows it in one of ``states``."""
    while (entry := worker.wait_state("speakers", 40)["speakers"][1])["state"] not in states:
        pass
    return entry


class SeveralSpeakersTest(unittest.TestCase):
    def test_both_play_bit_exact_in_step_and_one_lost_comes_back_while_the_other_plays_on(self):
        writes, pcm = Writes(), ramp(36.0)
        worker = Worker("卧室", "--name", "客厅", prefix=("ip", "netns", "exec", RX["卧室"]["NS_TX"]))
        self.addCleanup(worker.kill)
        worker.feed(pcm)
        ready = worker.wait_state("ready", 15)
        self.assertEqual(([s["name"] for s in ready["speakers"]], ready["latency_ms"]), (["卧室", "客厅"], 2000))
        time.sleep(10)
        before = offsets_ms(writes, pcm, range(3 * 44100, 9 * 44100, 22050))
        self.assertGreater(len(before), 8)
        self.assertLess(max(map(abs, before)), 5, before)
        killed = time.monotonic()
        with open(os.path.join(RX["客厅"]["dir"], "shairport.pid")) as f:
            os.kill(int(f.read()), 9)  # the harness starts it again a second later
        self.assertIn("客厅", until(worker, "reconnecting", "retrying").get("message", "客厅"))
        until(worker, "playing")
        rejoined = time.monotonic()
        worker.wait_feeding(30)
        time.sleep(2.5)
        worker.close_input()
        writes.done.set()
        self.assertLess(writes.gap(RX["卧室"], killed), 0.1, "卧室 never stopped")
        self.assertGreater(time.monotonic() - rejoined, 4, "客厅 back in time to play on")
        after = offsets_ms(writes, pcm, range(28 * 44100, 34 * 44100, 22050))
        self.assertGreater(len(after), 4)
        self.assertLess(max(map(abs, after)), 5, after)
        for rx in RX.values():
            self.assertGreaterEqual(longest_bit_exact_run(pcm, received(rx)), 4 * 44100)
        self.assertEqual(worker.wait(10), 0)
        self.assertNotIn("error", worker.states())


if __name__ == "__main__":
    unittest.main()
