"""Reports "error" (with SONVALE_TEST_MESSAGE as its "message" when set), then exits at
once when SONVALE_TEST_EXIT is set, or waits for the end of its input."""

import sys

from common import option, read_input, say

message = option("MESSAGE")
say(state="error", **({} if message is None else {"message": message}))
if option("EXIT"):
    sys.exit(1)
read_input()
