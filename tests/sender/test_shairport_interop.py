"""The worker against Debian's shairport-sync (stdout backend), advertised by avahi in a private network
namespace (tests/harness/receiver-start.sh). Needs root, shairport-sync, avahi-daemon and dbus-daemon."""

import os
import shutil
import subprocess
import time
import unittest

from worker_support import HARNESS, Worker, longest_bit_exact_run, tone

NAME = "卧室"
RX = {}


def setUpModule():
    missing = [t for t in ("shairport-sync", "avahi-daemon", "dbus-daemon", "ip", "unshare")
               if shutil.which(t) is None and not os.path.exists("/usr/sbin/" + t)]
    if os.geteuid() != 0 or missing:
        raise unittest.SkipTest("real-receiver tests skipped: needs root and %s" % (missing or "network namespaces"))
    out = subprocess.run(["sh", os.path.join(HARNESS, "receiver-start.sh")], capture_output=True, text=True,
                         env={**os.environ, "RX_NAME": NAME, "TAG": "s%d" % (os.getpid() % 100000)}, timeout=30)
    if out.returncode != 0:
        raise RuntimeError("receiver did not start: %s" % out.stderr)
    RX["dir"] = out.stdout.strip().splitlines()[-1]
    with open(os.path.join(RX["dir"], "env")) as f:
        RX.update(item.partition("=")[::2] for item in f.read().split())


def tearDownModule():
    if "dir" in RX:
        subprocess.run(["sh", os.path.join(HARNESS, "receiver-stop.sh"), RX["dir"]], timeout=30, capture_output=True)
        shutil.rmtree(RX["dir"], ignore_errors=True)


class RealReceiverTest(unittest.TestCase):
    def worker(self, *extra):
        w = Worker(NAME, *extra, prefix=("ip", "netns", "exec", RX["NS_TX"]))
        self.addCleanup(w.kill)
        return w

    def assert_free(self):
        """Another sender gets the speaker at once."""
        other = self.worker()
        other.wait_state("ready", 10)
        other.close_input()
        self.assertEqual((other.wait(10), other.states()[:1]), (0, ["ready"]))

    def test_tone_comes_out_bit_exact_and_the_speaker_is_free_at_once_after(self):
        received = os.path.join(RX["dir"], "received.s16")
        before, first, pcm = os.path.getsize(received), self.worker(), tone(4.0)
        first.wait_state("ready", 10)
        first.feed(pcm)
        first.wait_state("playing", 5)
        first.wait_feeding(10)
        time.sleep(2.5)  # the speaker plays about 2 s behind
        first.close_input()
        self.assertEqual(first.wait(10), 0)
        with open(received, "rb") as f:
            f.seek(before)
            self.assertGreaterEqual(longest_bit_exact_run(pcm, f.read()), 44100, "1 s bit-exact, L/R in order")
        self.assert_free()

    def test_second_sender_is_told_the_speaker_is_busy(self):
        first = self.worker()
        first.wait_state("ready", 10)
        first.feed(tone(1.0), then_silence=True)
        first.wait_state("playing", 5)
        second = self.worker()
        self.assertIn("正在播放其他设备的音频", second.wait_state("error", 15)["message"])
        self.assertEqual(second.wait(5), 1)
        first.close_input()
        self.assertEqual(first.wait(10), 0)

    def test_silence_releases_the_speaker_and_sound_takes_it_back(self):
        first = self.worker("--idle-after", "2")
        first.wait_state("ready", 10)
        first.feed(b"", then_silence=True)
        first.wait_state("idle", 8)
        self.assert_free()
        first.stop_feeding()
        first.feed(tone(3.0))
        first.wait_state("reconnecting", 3)
        first.wait_state("playing", 10)
        first.close_input()
        self.assertEqual((first.wait(10), first.states()), (0, ["ready", "playing", "idle", "reconnecting", "playing"]))


if __name__ == "__main__":
    unittest.main()
