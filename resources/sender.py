"""Sonvale's sender worker: streams the PCM on standard input to the AirPlay speaker named
by --name and reports its state as JSON lines on standard output.

Run as: /usr/bin/python3 -s -B -u sender.py --name NAME
The package lives in $SONVALE_VENDOR (default: the "vendor" directory beside this file).
"""

import os
import sys

sys.path.insert(0, os.environ.get("SONVALE_VENDOR")
                or os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor"))

from pyatv.app import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
