"""One worker, two shairport-sync receivers ("卧室", "客厅") on their own links from one namespace: both outputs
bit-exact and in step; one killed and started again while the other plays on. Needs root."""

import os
import shutil
import threading
import time
import unittest

from test_shairport_interop import start_receiver, stop_receiver
from worker_support import Worker, longest_bit_exact_run, ramp

RX = {}


def setUpModule():
    if os.geteuid() != 0 or shutil.which("shairport-sync") is None:
        raise unittest.SkipTest("real-receiver tests skipped: needs root and shairport-sync")
    try:
        for net, name in enumerate(("卧室", "客厅")):
            RX[name] = start_receiver("m%d%d" % (os.getpid() % 10000, net), RX_NAME=name, RX_NET=str(net),
                                      **({"JOIN_TX": RX["卧室"]["NS_TX"]} if net else {}))
    except BaseException:  # unittest skips tearDownModule when this fails: the first receiver is stopped here
        tearDownModule()
        raise


def tearDownModule():
    for name in reversed(RX):
        stop_receiver(RX[name])


def received(name):
    with open(os.path.join(RX[name]["dir"], "received.s16"), "rb") as f:
        return f.read()


class Writes:
    """The receivers' output sizes polled on one clock. ``at`` is when a byte was written, from a line fitted over
    the writes of the second around it (the stdout backend writes in chunks of about 8 ms)."""

    def __init__(self):
        self.seen, self.done = {name: [(0, 0)] for name in RX}, threading.Event()
        threading.Thread(target=self._poll, daemon=True).start()

    def _poll(self):
        while not self.done.wait(0.001):
            for name, log in self.seen.items():
                if (size := os.path.getsize(RX[name]["dir"] + "/received.s16")) != log[-1][1]:
                    log.append((time.monotonic(), size))

    def at(self, name, byte):
        near = [(t, b) for t, b in self.seen[name] if abs(b - byte) < 176400]
        mt, mb = (sum(p[i] for p in near) / len(near) for i in (0, 1))
        return mt + (byte - mb) * sum((t - mt) * (b - mb) for t, b in near) / sum((b - mb) ** 2 for _, b in near)

    def offsets_ms(self, pcm, frames):
        """卧室's time minus 客厅's for each of ``frames`` both have played."""
        outputs = {name: received(name) for name in RX}
        where = [[outputs[n].find(pcm[i * 4:i * 4 + 64]) for n in RX] for i in frames]
        return [(self.at("卧室", a) - self.at("客厅", b)) * 1000 for a, b in where if min(a, b) > 0]


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
        before = writes.offsets_ms(pcm, range(3 * 44100, 9 * 44100, 22050))
        self.assertTrue(len(before) > 8 and max(map(abs, before)) < 5, before)
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
        self.assertLess(max(b[0] - a[0] for a, b in zip(writes.seen["卧室"], writes.seen["卧室"][1:]) if a[0] > killed),
                        0.1, "卧室 never stopped")
        self.assertGreater(time.monotonic() - rejoined, 4, "客厅 back in time to play on")
        after = writes.offsets_ms(pcm, range(28 * 44100, 34 * 44100, 22050))
        self.assertTrue(len(after) > 4 and max(map(abs, after)) < 5, after)
        self.assertGreaterEqual(min(longest_bit_exact_run(pcm, received(n)) for n in RX), 4 * 44100)
        self.assertEqual((worker.wait(10), "error" in worker.states()), (0, False))


if __name__ == "__main__":
    unittest.main()
