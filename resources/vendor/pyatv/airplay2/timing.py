"""The clock an AirPlay 2 stream is timed by, once the stream is set up: our own PTP clock as grandmaster, the
receiver's grandmaster we follow (a standalone HomePod on 27), or the NTP-style clock the receiver asks about."""

import logging

from .. import session as s
from ..streaming.audio_stream import NtpSync, PtpLine
from . import protocol_choice, steps

log = logging.getLogger(__name__)

FOLLOW_WAIT = 3.0
FIRST_TIMING_WAIT = 3.0


def timeline(x):
    if x.timing == protocol_choice.NTP:
        return NtpSync(x.ntp, steps.NTP_LATENCY_FRAMES)
    return PtpLine(x.follower if x.follower is not None else x.local_clock, tracking=x.shared_schedule)


def start_clock(x) -> None:
    if x.timing == protocol_choice.PTP_MASTER:
        x.leading = x.clock_hub.lead(x.remote, x.peer_clock_ports)
    elif x.timing == protocol_choice.PTP_FOLLOW:
        if not s.wait_for(x.follower.ready, FOLLOW_WAIT):
            raise s.ClockLost("no PTP Sync from the speaker's clock within %.0f s" % FOLLOW_WAIT)
        log.info("following the speaker's clock %016x", x.follower.clock_id)
    elif not s.wait_for(x.udp.first_timing, FIRST_TIMING_WAIT):
        log.warning("speaker has not asked for timing within %.0f s; streaming anyway", FIRST_TIMING_WAIT)
