"""The whole worker streams a tone to the fake AirPlay 2 receiver and it arrives bit-exact."""

import time
import unittest

from fake_ap2_receiver import FEATURES_NO_PTP, FakeAirPlay2Receiver
from worker_support import Worker, longest_bit_exact_run, silence, tone


class WorkerOverAirPlay2Test(unittest.TestCase):
    def test_tone_arrives_bit_exact(self):
        with FakeAirPlay2Receiver(features=FEATURES_NO_PTP) as receiver:
            worker = Worker("卧室", "--address", "127.0.0.1:%d" % receiver.port, "--protocol", "airplay2")
            self.addCleanup(worker.kill)
            worker.wait_state("ready", 15)
            sent = tone(4.0)  # room for a clean 2 s stretch even if the feeder stalls once under load
            worker.feed(sent + silence(0.5))
            worker.wait_state("playing", 5)
            worker.wait_feeding(10)
            time.sleep(0.5)
            worker.close_input()
            self.assertEqual(worker.wait(10), 0, worker.log())
            self.assertNotIn("error", worker.states())
            methods = [m for m, _ in receiver.methods()]
            self.assertEqual(methods[:2], ["GET", "POST"])
            self.assertEqual(methods[-2:], ["TEARDOWN", "TEARDOWN"])
            self.assertEqual(receiver.decrypt_errors, 0)
            self.assertGreaterEqual(longest_bit_exact_run(sent, receiver.output()), 2 * 44100, worker.log())


if __name__ == "__main__":
    unittest.main()
