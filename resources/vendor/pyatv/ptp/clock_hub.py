"""The PTP ports of one local address, shared by every AirPlay 2 session that faces it.

One thread reads both ports and sends: it hands each message to the follower of the speaker at its source
address (a standalone HomePod whose clock we follow), answers a Delay_Req from a receiver that follows our clock,
and sends our one clock's Sync/Follow_Up and Announce to every such receiver (``PtpMaster``). Each followed
clock is estimated on its own, mapped onto the local monotonic clock. A session adds its speaker when its clock
is needed and releases it when it ends; the others go on untouched. The thread runs while any speaker is on it.
"""

import logging
import select
import threading
import time
from typing import Dict, List, Optional, Tuple

from . import messages
from .clock import LocalClock
from .clock_ports import ClockSockets
from .follower import PtpFollower
from .master import PtpMaster

log = logging.getLogger(__name__)

IDLE_WAKE = 0.2
DRAIN_AT_MOST = 64


class ClockHub:
    def __init__(self, sockets: ClockSockets, clock: LocalClock):
        self.sockets, self.clock = sockets, clock
        self._master = PtpMaster(clock, sockets.event, sockets.general)
        self._followers: Dict[str, PtpFollower] = {}
        self._lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None

    def follow(self, address: str) -> PtpFollower:
        """A new estimate of the clock of the speaker at ``address``, fed from now on."""
        follower = PtpFollower()
        with self._lock:
            self._followers[address] = follower
            self._run()
        return follower

    def lead(self, address: str, ports: Tuple[int, int]) -> object:
        """Our clock's messages to the receiver at ``address`` from now on, the first ones at once; returns what
        ``release`` takes."""
        with self._lock:
            peer = self._master.add(address, ports, time.monotonic())
            self._master.send_due(time.monotonic())  # the thread may be asleep until the others' next Sync
            self._run()
        return peer

    def release(self, address: str, what: object) -> None:
        """Ends ``follow`` or ``lead`` for ``address``, unless a newer session has taken the address meanwhile."""
        with self._lock:
            if self._followers.get(address) is what:
                del self._followers[address]
            else:
                self._master.remove(address, what)

    def led(self) -> List[str]:
        """The receivers that follow our clock."""
        with self._lock:
            return self._master.peers()

    def _run(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._serve, name="ptp", daemon=True)
            self._thread.start()

    def _serve(self) -> None:
        socks = [self.sockets.event, self.sockets.general]
        for sock in socks:
            sock.setblocking(False)
        self._drain(socks)  # what came while no one listened is stale: its receive time would be wrong
        while True:
            with self._lock:
                if not self._followers and not self._master.peers():
                    self._thread = None
                    return
                due = self._master.send_due(time.monotonic())
                now_ns = time.monotonic_ns()
                for follower in self._followers.values():
                    follower.watch(now_ns)
            try:
                readable, _, _ = select.select(socks, [], [], min(IDLE_WAKE, max(0.0, due - time.monotonic())))
            except (OSError, ValueError):
                with self._lock:
                    self._thread = None
                return
            for sock, data, source, received in self._drain(readable):
                with self._lock:
                    follower = self._followers.get(source)
                    if follower is None:
                        if sock is self.sockets.event:
                            self._master.answer(data, source, self.clock.at(received / 1e9))
                        continue
                    try:
                        follower.handle(data, received)
                    except messages.PtpParseError as exc:
                        log.debug("PTP message from %s ignored: %s", source, exc)

    def _drain(self, readable) -> list:
        """Every message waiting, each stamped as it is read, before any is handled: speakers whose Syncs arrive
        together would otherwise see the handling of the others' in their receive times."""
        out = []
        for sock in readable:
            for _ in range(DRAIN_AT_MOST):
                try:
                    data, source = sock.recvfrom(512)
                except OSError:
                    break
                out.append((sock, data, source[0], time.monotonic_ns()))
        return out
