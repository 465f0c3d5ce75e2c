"""The privileged clock helper: hands over sockets bound to 319/320, or says it could not."""

import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from worker_support import SOURCE_DIR
from pyatv.ptp import clock_ports

SOURCE = os.path.join(SOURCE_DIR, "src", "ptphelper", "sonvale_ptp_helper.c")


def ports_free() -> bool:
    for port in (319, 320):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("0.0.0.0", port))
            except OSError:
                return False
    return True


@unittest.skipIf(shutil.which("cc") is None, "no C compiler")
class ClockHelperTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="ptphelper-")
        cls.helper = os.path.join(cls.dir, clock_ports.HELPER_NAME)
        subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror", "-o", cls.helper, SOURCE], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_bad_arguments_are_refused(self):
        for args in ([], ["abc"], ["1"], ["200"], ["3", "4"]):
            with self.subTest(args=args):
                result = subprocess.run([self.helper, *args], capture_output=True)
                self.assertEqual(result.returncode, 2)

    def test_hands_over_both_ports(self):
        if os.geteuid() != 0 or not ports_free():
            self.skipTest("needs root and free ports 319/320")
        sockets = clock_ports.from_helper(self.helper)
        self.assertIsNotNone(sockets)
        self.addCleanup(sockets.close)
        self.assertEqual((sockets.event.getsockname()[1], sockets.general.getsockname()[1]), (319, 320))
        self.assertEqual(sockets.event.type, socket.SOCK_DGRAM)

    def test_ports_taken_means_no_sockets(self):
        if os.geteuid() == 0:
            blocker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                blocker.bind(("0.0.0.0", 319))
            except OSError:
                pass
            self.addCleanup(blocker.close)
        self.assertIsNone(clock_ports.from_helper(self.helper))
        self.assertIsNone(clock_ports.from_helper(os.path.join(self.dir, "absent")), "missing helper")


if __name__ == "__main__":
    unittest.main()
