"""The worker against the real receiver: Debian's shairport-sync with its stdout backend,
advertised by avahi in a private network namespace (tests/harness/receiver-start.sh).

Needs root (network namespaces), shairport-sync, avahi-daemon and dbus-daemon.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import time
import unittest

from worker_support import HARNESS, Worker, longest_bit_exact_run, tone

NAME = "卧室"
RX: dict[str, str] = {}


def _missing() -> str | None:
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    for tool in ("shairport-sync", "avahi-daemon", "dbus-daemon", "ip", "unshare"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            return "%s is not installed" % tool
    return None


def setUpModule() -> None:
    reason = _missing()
    if reason:
        raise unittest.SkipTest("real-receiver tests skipped: " + reason)
    env = {**os.environ, "RX_NAME": NAME, "TAG": "s%d" % (os.getpid() % 100000)}
    out = subprocess.run(["sh", os.path.join(HARNESS, "receiver-start.sh")], env=env,
                         capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        raise RuntimeError("receiver did not start: %s" % out.stderr)
    RX["dir"] = out.stdout.strip().splitlines()[-1]
    with open(os.path.join(RX["dir"], "env")) as f:
        RX.update(item.partition("=")[::2] for item in f.read().split())


def tearDownModule() -> None:
    if "dir" in RX:
        subprocess.run(["sh", os.path.join(HARNESS, "receiver-stop.sh"), RX["dir"]],
                       timeout=30, capture_output=True)
        shutil.rmtree(RX["dir"], ignore_errors=True)


def received_since(offset: int) -> bytes:
    with open(os.path.join(RX["dir"], "received.s16"), "rb") as f:
        f.seek(offset)
        return f.read()


class RealReceiverTest(unittest.TestCase):
    def worker(self, name: str = NAME, *extra: str) -> Worker:
        w = Worker(name, *extra, prefix=["ip", "netns", "exec", RX["NS_TX"]])
        self.addCleanup(w.kill)
        return w

    def test_tone_comes_out_bit_exact_and_the_speaker_is_free_at_once_after(self):
        before = os.path.getsize(os.path.join(RX["dir"], "received.s16"))
        first = self.worker()
        first.wait_state("ready", 10)
        pcm = tone(4.0)
        first.feed(pcm)
        first.wait_state("playing", 5)
        first.wait_feeding(10)
        time.sleep(2.5)  # the speaker plays about 2 s behind
        first.close_input()
        self.assertEqual(first.wait(10), 0)
        run = longest_bit_exact_run(pcm, received_since(before))
        self.assertGreaterEqual(run, 44100, "at least one second bit-exact, L/R in order")

        again = self.worker()
        again.wait_state("ready", 10)
        again.close_input()
        self.assertEqual(again.wait(10), 0)
        self.assertEqual(again.states()[:1], ["ready"])

    def test_second_sender_is_told_the_speaker_is_busy(self):
        first = self.worker()
        first.wait_state("ready", 10)
        first.feed(tone(1.0), then_silence=True)
        first.wait_state("playing", 5)
        second = self.worker()
        error = second.wait_state("error", 15)
        self.assertIn("正在播放其他设备的音频", error["message"])
        self.assertEqual(second.wait(5), 1)
        first.close_input()
        self.assertEqual(first.wait(10), 0)

    def test_silence_releases_the_speaker_and_sound_takes_it_back(self):
        first = self.worker(NAME, "--idle-after", "2")
        first.wait_state("ready", 10)
        first.feed(b"", then_silence=True)
        first.wait_state("idle", 8)
        other = self.worker()
        other.wait_state("ready", 10)  # released: someone else may play now
        other.close_input()
        self.assertEqual(other.wait(10), 0)
        first.stop_feeding()
        first.feed(tone(3.0))
        first.wait_state("reconnecting", 3)
        first.wait_state("playing", 10)
        first.close_input()
        self.assertEqual(first.wait(10), 0)
        self.assertEqual(first.states(), ["ready", "playing", "idle", "reconnecting", "playing"])

    def test_unknown_name_is_reported_with_the_names_seen_in_the_log(self):
        w = self.worker("书房")
        stopped = self.worker("书房")
        deadline = time.monotonic() + 10
        while "starting for speaker" not in stopped.log() and time.monotonic() < deadline:
            time.sleep(0.05)  # its SIGTERM handler is in place once it logs this
        stopped.proc.send_signal(signal.SIGTERM)
        self.assertEqual(stopped.wait(5), 0, "SIGTERM while browsing ends quietly")
        error = w.wait_state("error", 15)
        self.assertIn("找不到名为“书房”", error["message"])
        self.assertEqual(w.wait(5), 1)
        self.assertIn("'卧室'", w.log())
        self.assertEqual(stopped.lines, [])


if __name__ == "__main__":
    unittest.main()
