"""Several speakers on one time line: the streamer drives a ``Group`` as if it were one session.

Every packet goes to each speaker whose session is live, on one schedule. AirPlay 1 receivers (and AirPlay 2 ones on
NTP timing) follow our one monotonic clock and play a packet at ``when`` plus their latency. AirPlay 2 speakers on
PTP are told, in each time announce, their clock's time at ``when`` (our one clock for those that follow us, each
standalone HomePod's own clock, followed on its own, for the others), so they too play the packet at ``when`` plus
the latency; the schedule is paced by the local clock, and each speaker's mapping absorbs its own clock's rate.
The group's latency is the largest of its speakers', and a speaker with less is told each ``when`` that much later:
so the same frame plays at the same moment everywhere. A speaker that joins while the others play is anchored on
the running schedule by its first packet and is in step from there.

Each speaker has its own life on its own thread (``Member``): discovery, connect, waiting while another sender
holds it, loss. One that is not found, busy, taken by another sender or lost is retried on its own, with a growing
back-off, while the others play; the group fails only when no speaker can play. Sessions are connected (and, once
lost, closed and judged) on the member's thread; once handed over, they are driven only by the streamer's thread.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable, List, Optional

from . import discovery, errors
from . import session as s
from .contract import Reporter
from .occupancy import Yielding

log = logging.getLogger(__name__)

FIRST_BACKOFF = 2.0
MAX_BACKOFF = 60.0
LOOK_EVERY = 0.1
CLOSE_WAIT = 2.0


class Member:
    """One speaker of the group. ``state`` is what the "speakers" list says of it."""

    def __init__(self, name: str, group: "Group") -> None:
        self.name, self._group = name, group
        self.state, self.message, self.retry_s = "connecting", None, None
        self.session: Optional[s.Session] = None  # connected: handed over to the streamer's thread
        self.tried = threading.Event()            # tried once since the group (re)connected
        self.failure: Optional[s.SenderError] = None
        self.loss: Optional[s.SenderError] = None
        self.lost = threading.Event()
        self.ever_ready = False
        self._speaker: Optional[discovery.Speaker] = None
        self._policy: Optional[Yielding] = None
        self._backoff = FIRST_BACKOFF
        self._thread: Optional[threading.Thread] = None
        self.closing = threading.Event()
        self.lead = 0.0  # how much later than the group's schedule its packets are stamped

    def entry(self) -> dict:
        out = {"name": self.name, "state": self.state}
        if self.state in ("busy", "retrying"):
            out["message"] = self.message
        if self.state == "retrying":
            out["retry_s"] = self.retry_s
        return out

    def busy(self, message: str) -> None:
        """Said by the yielding policy while another sender holds this speaker."""
        self.tried.set()
        self._group.set_state(self, "busy", message)

    def start(self, closing: threading.Event) -> None:
        self.tried.clear()
        self.failure, self.session, self.closing = None, None, closing
        self._thread = threading.Thread(target=self._run, args=(closing,), name="speaker " + self.name, daemon=True)
        self._thread.start()

    def join(self, timeout: float) -> None:
        if self._thread is not None:
            self._thread.join(timeout)

    def _open(self, closing: threading.Event) -> s.Session:
        group = self._group
        if self._speaker is None:
            self._speaker = discovery.find_speaker(group.browser, self.name, should_stop=closing.is_set)
            self._policy = Yielding(self, self.name, group.browser, self._speaker)
        inner = group.open_session(self._speaker)
        inner.share_schedule()
        session = self._policy.wrap(inner)
        try:
            session.connect()
        except BaseException:
            session.close()
            raise
        return session

    def _wait_until_free(self, busy: s.SpeakerBusy, stopping: Callable[[], bool]) -> bool:
        self.busy(errors.message_for(busy, self.name))
        return busy.wait_until_free(stopping, lambda grace: None)

    def _run(self, closing: threading.Event) -> None:
        group, delay = self._group, 0.0
        stopping = lambda: closing.is_set() or s.STOP.is_set()  # noqa: E731
        try:
            while not stopping():
                if delay:
                    self.retry_s = round(delay)
                    group.set_state(self, "retrying", errors.message_for(self.failure, self.name))
                    if closing.wait(delay):
                        return
                if self.state != "busy":  # asked again while busy: still busy unless it takes us
                    group.set_state(self, "reconnecting" if self.ever_ready else "connecting")
                try:
                    session = self._open(closing)
                except s.SpeakerBusy as busy:
                    if not self._wait_until_free(busy, stopping):
                        return
                    delay = 0.0
                    continue
                except s.SenderError as exc:
                    log.warning("speaker %r: %s: %s", self.name, type(exc).__name__, exc)
                    self.failure = exc
                    if isinstance(exc, (s.SpeakerNotFound, s.Unreachable)):
                        self._speaker = None  # found again: it may have moved
                    self.tried.set()
                    delay, self._backoff = self._backoff, min(MAX_BACKOFF, self._backoff * 2)
                    continue
                self.lost.clear()
                if not group.hand_over(self, session, closing):
                    session.close()
                    return
                self._backoff, self.ever_ready = FIRST_BACKOFF, True
                self.tried.set()
                while not self.lost.wait(LOOK_EVERY):
                    if stopping():
                        return  # the group closes the session
                session.close()
                exc = session.lost(self.loss)
                log.warning("speaker %r lost: %s", self.name, exc)
                if isinstance(exc, s.SpeakerBusy):
                    if not self._wait_until_free(exc, stopping):
                        return
                else:
                    self.failure = exc
                    group.set_state(self, "reconnecting")
                delay = 0.0
        except s.Stopped:
            pass
        except Exception:  # a fault of ours stays with this speaker; the others play on
            log.exception("speaker %r: internal error", self.name)
            self.failure = s.NoResponse("internal error")
            self.tried.set()


class Group(s.Session):
    """The streamer's session for several speakers. The same object serves every (re)connect: ``connect`` starts
    each speaker's own thread, ``close`` ends them and releases every speaker. ``open_session(speaker)`` gives a
    speaker's session (by default the one discovery makes for the protocol asked)."""

    def __init__(self, names: List[str], reporter: Reporter, browser: discovery.Browser, protocol: str,
                 open_session: Optional[Callable[[discovery.Speaker], s.Session]] = None) -> None:
        self.browser, self.protocol, self._reporter = browser, protocol, reporter
        self.open_session = open_session or (lambda speaker: discovery.make_session(speaker, protocol))
        self.members = [Member(name, self) for name in names]
        self.keep_alive: Callable[[float], None] = lambda grace: None
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._live: List[Member] = []
        self._arrived: List[Member] = []
        self.latency = 0.0
        reporter.speakers = self.speakers

    def speakers(self) -> list:
        with self._lock:
            return [m.entry() for m in self.members]

    def set_state(self, member: Member, state: str, message: Optional[str] = None, say: bool = True) -> None:
        if say and member.closing.is_set():  # a thread the group has left behind says nothing more
            return
        with self._lock:
            changed = (member.state, member.message) != (state, message)
            member.state, member.message = state, message
        if changed and say:
            self._reporter.speakers_changed()

    def hand_over(self, member: Member, session: s.Session, closing: threading.Event) -> bool:
        """A member's connected session, for the streamer to take up; False once the group has closed."""
        with self._lock:
            if closing.is_set():
                return False
            member.session = session
            self._arrived.append(member)
        self.set_state(member, "ready")
        return True

    # -- the session the streamer drives

    def connect(self) -> None:
        self._closing = threading.Event()
        # The first time, every speaker is tried once before the stream starts; coming back (from standby, after
        # a loss) only those that played before are waited for: the others join when they can.
        awaited = [m for m in self.members if m.ever_ready] or self.members
        for m in self.members:
            m.start(self._closing)
        told_busy = None
        while True:
            self.keep_alive(5.0)
            ready = [m for m in self.members if m.session is not None]
            if ready and all(m.tried.is_set() for m in awaited):
                self.latency = max(m.session.latency for m in ready)
                log.info("%d of %d speakers ready; %.0f ms from sending to playing", len(ready), len(self.members),
                         self.latency * 1000)
                return
            if all(m.tried.is_set() for m in self.members) and not ready:
                busy = next((m for m in self.members if m.state == "busy"), None)
                if busy is None:  # every speaker failed: the first one's cause is the group's
                    raise next((m.failure for m in self.members if m.failure is not None), s.NoResponse())
                if told_busy != busy.message:  # all held by other senders: waited for, as one speaker would be
                    self._reporter.busy(told_busy := busy.message)
            if s.STOP.wait(LOOK_EVERY):
                raise s.Stopped("asked to stop")

    def _admit(self) -> None:
        if not self._arrived:
            return
        with self._lock:
            arrived, self._arrived = self._arrived, []
        for m in arrived:
            # A receiver that counts less delay of its own than the group's is told each packet that much later,
            # so that it plays it with the others; one that asks for more than the group started with lags.
            m.lead = max(0.0, self.latency - m.session.latency)
            if m.session.latency > self.latency + 0.001:
                log.warning("speaker %r plays %.0f ms after the others: it asks for more delay than the group has",
                            m.name, (m.session.latency - self.latency) * 1000)
            self._live.append(m)
            self.set_state(m, "playing", say=False)
            log.info("speaker %r joins the stream", m.name)
        self._reporter.speakers_changed()

    def _drop(self, member: Member, exc: s.SenderError) -> None:
        self._live.remove(member)
        member.session, member.loss = None, exc
        member.lost.set()
        if not self._live and not self._arrived:
            raise s.Disconnected("no speaker plays any more") from exc

    def send(self, pcm: bytes, when: float) -> None:
        self._admit()
        for m in list(self._live):
            try:
                m.session.send(pcm, when + m.lead)
            except s.SenderError as exc:
                self._drop(m, exc)

    def poll(self, now: float) -> None:
        self._admit()
        for m in list(self._live):
            try:
                m.session.poll(now)
            except s.SenderError as exc:
                self._drop(m, exc)

    def close(self) -> None:
        with self._lock:
            self._closing.set()
        deadline = time.monotonic() + CLOSE_WAIT  # a thread still busy with its speaker ends by itself
        for m in self.members:
            m.join(max(0.0, deadline - time.monotonic()))
        with self._lock:
            sessions = [m.session for m in self._live + self._arrived if m.session is not None]
            self._live, self._arrived = [], []
        for session in sessions:
            session.close()
        for m in self.members:
            m.session = None
            if sessions:  # released for standby; a group that lost them all keeps saying why
                self.set_state(m, "idle", say=False)
