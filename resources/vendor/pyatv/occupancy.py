"""Yielding to another sender: never take the speaker from someone who took it from us.

A receiver that allows interruption (HomePods, shairport-sync 5, shairport-sync 3.3.8 when configured to) ends
our session when another sender starts; reconnecting would take it back and start a fight. So a session the
speaker closes itself is taken to be a preemption unless its advertisement says otherwise, and we wait:

- Receivers that show a held session in their status flags (``flags`` in ``_airplay._tcp``, ``sf`` in
  ``_raop._tcp``: shairport-sync 5 sets bit 11 while a session holds it; Apple names bit 17
  ReceiverSessionIsActive) tell us both things: whether the close was a preemption, and when the speaker is free.
- Receivers that do not (shairport-sync 3.3.8 advertises a constant ``sf``) cannot tell; we wait until the
  speaker restarts (its records withdrawn and announced again) or the user switches forwarding on again (which
  starts a new worker, whose first connection is the user's own wish).

A refusal (RTSP 453, pairing "busy") takes nothing from anyone, so it is simply asked again, or, when the
advertisement shows the other session, once that ends. Coming back from idle standby, a speaker whose
advertisement shows someone else's session is waited for the same way instead of being taken.
"""

from __future__ import annotations

import logging
import time
from typing import Callable, Optional

from . import errors
from . import session as s
from .contract import Reporter
from .discovery import Browser, Speaker, of_device

log = logging.getLogger(__name__)

SESSION_FLAGS = (1 << 11) | (1 << 17)
SETTLE = 2.0
LOOK_EVERY = 0.2
LOOK_WHILE_STREAMING = 1.0


def session_held(txt: dict) -> Optional[bool]:
    """Whether a TXT record's status flags show a session; None when it carries none."""
    value = txt.get("flags", txt.get("sf"))
    if value is None:
        return None
    try:
        return bool(int(value, 0) & SESSION_FLAGS)
    except ValueError:
        return None


class Yielding:
    """Wraps each session the streamer opens (``wrap``) and decides, with the speaker's advertisement, when a
    lost or refused session means another sender holds the speaker."""

    def __init__(self, reporter: Reporter, name: str, browser: Optional[Browser] = None,
                 speaker: Optional[Speaker] = None) -> None:
        self._reporter, self._name = reporter, name
        self._browser, self._speaker = browser, speaker
        self._first = True
        self._next_look = 0.0
        self.shows_sessions = False     # the advertisement showed our own session while it was up
        self.shown: Optional[str] = None  # the busy status last reported, until a session is up again

    def wrap(self, session: s.Session) -> s.Session:
        return _YieldingSession(session, self)

    # -- what the advertisement says

    def held(self) -> Optional[bool]:
        if self._browser is None:
            return None
        states = [session_held(r.txt) for r in self._records()]
        return True if True in states else (False if False in states else None)

    def _records(self):
        return of_device(self._browser.snapshot(), self._speaker.device_id, self._speaker.name)

    def _advertised(self) -> bool:
        return self._browser is not None and bool(self._records())

    def _appearances(self) -> int:
        return self._browser.appearances.get(self._speaker.device_id, 0) if self._browser else 0

    # -- decisions

    def before_connect(self) -> None:
        first, self._first = self._first, False
        if not first and self.held():
            raise self.waiting(s.SpeakerBusy("the advertisement shows another sender's session"))

    def while_streaming(self, now: float) -> None:
        if self.shows_sessions or now < self._next_look:
            return
        self._next_look = now + LOOK_WHILE_STREAMING
        if self.held():
            self.shows_sessions = True
            log.info("the speaker's advertisement shows its session: it will say when another sender holds it")

    def after_close(self, lost: s.Disconnected) -> s.SenderError:
        """What a session the speaker ended itself (closed our connection or its audio port) means."""
        if self._browser is None:
            return lost
        appearances = self._appearances()
        s.pause(SETTLE)  # the advertisement catches up: ours withdrawn, the newcomer's shown
        held = self.held()
        if self._appearances() != appearances and not held:
            log.info("the speaker restarted after ending our session: it is ours to try again")
            return lost
        if held:
            log.warning("the speaker ended our session and shows another sender's: yielding (%s)", lost)
        elif self.shows_sessions or not self._advertised():
            return lost
        else:
            log.warning("the speaker ended our session and its advertisement cannot tell why: yielding to a "
                        "possible other sender until it restarts or forwarding is switched on again (%s)", lost)
        return self.waiting(s.Preempted(str(lost)))

    def waiting(self, exc: s.SpeakerBusy) -> s.SpeakerBusy:
        """``exc``, to be waited out with what the advertisement says."""
        exc.waiter = self._wait
        return exc

    def _wait(self, busy: s.SpeakerBusy, should_stop: Callable[[], bool], keep_alive: Callable[[float], None]) -> bool:
        text = errors.message_for(busy, self._name)
        if text != self.shown:  # said once, not again at each refusal
            self._reporter.busy(text)
            self.shown = text
        appearances, seen_held = self._appearances(), False
        started = time.monotonic()
        while not should_stop() and not s.STOP.is_set():
            keep_alive(5.0)
            held = self.held()
            seen_held = seen_held or bool(held)
            if seen_held and held is False:
                log.info("the speaker's advertisement shows it free again")
                return True
            if self._appearances() != appearances:
                log.info("the speaker has restarted: it is ours to try again")
                return True
            if not seen_held and not isinstance(busy, s.Preempted) \
                    and time.monotonic() - started >= s.SpeakerBusy.RETRY_SECONDS:
                return True  # a refusal takes nothing from the other sender: ask again
            s.STOP.wait(LOOK_EVERY)
        return False


class _YieldingSession(s.Session):
    def __init__(self, inner: s.Session, policy: Yielding) -> None:
        self._inner, self._policy = inner, policy

    @property
    def latency(self) -> float:  # type: ignore[override]
        return self._inner.latency

    def connect(self) -> None:
        self._policy.before_connect()
        try:
            self._inner.connect()
        except s.SpeakerBusy as exc:
            raise self._policy.waiting(exc)
        self._policy.shown = None

    def send(self, pcm: bytes, when: float) -> None:
        self._inner.send(pcm, when)

    def clock_rate(self) -> float:
        return self._inner.clock_rate()

    def poll(self, now: float) -> None:
        self._inner.poll(now)
        self._policy.while_streaming(now)

    def lost(self, exc: s.SenderError) -> s.SenderError:
        exc = self._inner.lost(exc)
        if isinstance(exc, s.Disconnected):
            return self._policy.after_close(exc)  # the speaker closed the connection or its audio port
        return exc

    def close(self) -> None:
        self._inner.close()
