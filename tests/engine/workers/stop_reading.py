"""Reports "ready", then never reads its input again while it keeps reporting "idle".
With SONVALE_TEST_EXIT set it closes its input instead, so that writes to it fail."""

import os
import time

from common import option, say

say(state="ready")
if option("EXIT"):
    os.close(0)
while True:
    time.sleep(0.5)
    say(state="idle")
