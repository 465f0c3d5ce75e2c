"""The worker against Debian's shairport-sync (stdout backend), advertised by avahi in a private network
namespace (tests/harness/receiver-start.sh): playing, a busy speaker waited for, preemption by a newcomer (a second
receiver that allows interruption), the listing. Needs root, shairport-sync, avahi-daemon, dbus."""

import json
import os
import shutil
import signal
import subprocess
import threading
import time
import unittest

from worker_support import HARNESS, SOURCE_DIR, VENDOR, Worker, longest_bit_exact_run, ramp, ramp_index, tone

NAME = "卧室"
RX = {}


def start_receiver(tag: str, **env) -> dict:
    out = subprocess.run(["sh", os.path.join(HARNESS, "receiver-start.sh")], capture_output=True, text=True,
                         env={**os.environ, "RX_NAME": NAME, "TAG": tag, **env}, timeout=30)
    if out.returncode != 0:
        raise RuntimeError("receiver did not start: %s" % out.stderr)
    rx = {"dir": out.stdout.strip().splitlines()[-1]}
    with open(os.path.join(rx["dir"], "env")) as f:
        rx.update(item.partition("=")[::2] for item in f.read().split())
    return rx


def stop_receiver(rx: dict) -> None:
    subprocess.run(["sh", os.path.join(HARNESS, "receiver-stop.sh"), rx["dir"]], timeout=30, capture_output=True)
    shutil.rmtree(rx["dir"], ignore_errors=True)


def setUpModule():
    missing = [t for t in ("shairport-sync", "avahi-daemon", "dbus-daemon", "ip", "unshare")
               if shutil.which(t) is None and not os.path.exists("/usr/sbin/" + t)]
    if os.geteuid() != 0 or missing:
        raise unittest.SkipTest("real-receiver tests skipped: needs root and %s" % (missing or "network namespaces"))
    RX.update(start_receiver("s%d" % (os.getpid() % 100000)))


def tearDownModule():
    if "dir" in RX:
        stop_receiver(RX)


class RealReceiverTest(unittest.TestCase):
    def worker(self, *extra, rx=RX):
        w = Worker(NAME, *extra, prefix=("ip", "netns", "exec", rx["NS_TX"]))
        self.addCleanup(w.kill)
        return w

    def assert_free(self):
        """Another sender gets the speaker at once."""
        other = self.worker()
        other.wait_state("ready", 10)
        other.close_input()
        self.assertEqual((other.wait(10), other.states()[:1]), (0, ["ready"]))

    def test_input_from_the_start_plays_from_its_first_frame_at_the_reported_latency_bit_exact_and_frees_the_speaker(self):
        received, arrivals, done = os.path.join(RX["dir"], "received.s16"), [], threading.Event()
        before, first, pcm = os.path.getsize(received), self.worker(), ramp(8.0)
        threading.Thread(target=lambda: [arrivals.append((time.monotonic(), os.path.getsize(received)))
                                         for _ in iter(lambda: done.wait(0.005), True)], daemon=True).start()
        fed_at = time.monotonic()
        first.feed(pcm)  # as after a standby: input while the session is still being opened
        latency, ready_after = first.wait_state("ready", 10)["latency_ms"] / 1000, time.monotonic() - fed_at
        first.wait_feeding(15)
        time.sleep(2.5)  # the speaker plays about 2 s behind
        first.close_input()
        self.assertEqual(first.wait(10), 0)
        done.set()
        with open(received, "rb") as f:
            out = f.read()[before:]
        start = next(i for i in range(len(out) // 4) if ramp_index(out, i) >= 0)
        self.assertEqual(ramp_index(out, start) if ready_after < 1.9 else 0, 0, "nothing lost at the start")
        self.assertGreaterEqual(longest_bit_exact_run(pcm, out), 5 * 44100, "bit-exact once any catch-up is done")
        # 4-5 s in: past any catch-up, before the input pauses (shairport-sync 4.x then writes up to 30 ms late)
        shown = {i: out.find(pcm[i * 4:i * 4 + 64], start * 4) + before for i in range(4 * 44100, 5 * 44100, 4410)}
        delays = sorted(next(t for t, size in arrivals if size > at) - fed_at - i / 44100 + 0.2 for i, at in shown.items())
        self.assertLess(abs(delays[5] - latency), 0.02, "as written, less the receiver's 0.2 s buffer")
        self.assertIn("0 frames dropped and 0 repeated one at a time", first.log())
        self.assert_free()

    def test_a_busy_speaker_is_waited_for_with_heartbeats_and_taken_once_free(self):
        first = self.worker()
        first.wait_state("ready", 10)
        first.feed(tone(1.0), then_silence=True)
        first.wait_state("playing", 5)
        second = self.worker()
        self.assertIn("正被其他设备使用", second.wait_state("busy", 15)["message"])
        waiting_since = time.monotonic()
        time.sleep(6)  # longer than one retry: a refusal is asked again, and taken again
        self.assertGreaterEqual(len(second.beats(after=waiting_since)), 4)
        self.assertNotIn("ready", second.states())
        first.close_input()
        self.assertEqual(first.wait(10), 0)
        second.wait_state("ready", 10)

    def test_preempted_by_a_newcomer_it_yields_and_does_not_take_the_speaker_back(self):
        rx = start_receiver("p%d" % (os.getpid() % 100000), RX_INTERRUPT="yes")
        self.addCleanup(stop_receiver, rx)
        first = self.worker(rx=rx)
        first.feed(tone(1.0), then_silence=True)
        first.wait_state("playing", 10)
        second = self.worker(rx=rx)
        second.feed(tone(1.0), then_silence=True)
        second.wait_state("playing", 10)
        self.assertIn("已被其他设备接管", first.wait_state("busy", 10)["message"])
        time.sleep(5)  # the newcomer keeps the speaker
        self.assertEqual((first.states(), second.states()), (["ready", "playing", "busy"], ["ready", "playing"]))
        self.assertLess(first.longest_write, 0.5, "its input read on while it yields")
        first.proc.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(2), 0)

    def test_listing_names_the_speaker_once(self):
        out = subprocess.run(["ip", "netns", "exec", RX["NS_TX"], "/usr/bin/python3", "-s", "-B",
                              os.path.join(SOURCE_DIR, "resources", "sender.py"), "--list-speakers", "--seconds", "2"],
                             capture_output=True, timeout=15, env={**os.environ, "SONVALE_VENDOR": VENDOR})
        lines = [json.loads(line) for line in out.stdout.splitlines()]
        self.assertEqual((out.returncode, [(e["name"], e["airplay2"], len(e["id"])) for e in lines]),
                         (0, [(NAME, False, 17)]))


if __name__ == "__main__":
    unittest.main()
