"""The protocol-neutral streaming loop: states, idle standby, reconnects, heartbeats.

States reported (``contract.Reporter``):
  ready         the first session is negotiated
  playing       audio flows to the speaker (after ready, and after each reconnect)
  streaming     heartbeat with ``bytes_in``, every second in every state
  idle          the input has been silent for ``idle_after`` seconds: the session is
                closed so the speaker is free for others
  reconnecting  sound came back in standby, or the speaker dropped the connection

Failures are raised as ``session.SenderError``; the caller reports them and exits.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable

from . import session as s
from .contract import Reporter
from .pacing import Pacer
from .pcm_input import PcmInput

log = logging.getLogger(__name__)

SessionFactory = Callable[[], s.Session]


class Heartbeat:
    """Emits "streaming" lines from its own thread, so that a slow network step never
    starves the application's heartbeat check, while a hung streamer still stops them:
    lines go out only while the streamer has promised progress (``alive``)."""

    def __init__(self, reporter: Reporter, source: PcmInput, clock: Callable[[], float],
                 interval: float = 1.0) -> None:
        self._reporter = reporter
        self._source = source
        self._clock = clock
        self._interval = interval
        self._alive_until = clock() + 60.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="heartbeat", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def alive(self, grace: float) -> None:
        self._alive_until = self._clock() + grace

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(timeout=2)

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            if self._clock() <= self._alive_until:
                self._reporter.streaming(self._source.bytes_in)


class Streamer:
    """Drives sessions from ``open_session`` with PCM from ``source``.

    ``should_stop`` is polled between packets (SIGTERM, a closed standard output)."""

    POLL_INTERVAL = 0.02
    CONNECT_GRACE = 45.0
    STEP_GRACE = 5.0
    DRIFT_LOG_INTERVAL = 10.0
    RECONNECT_HOLD = 30.0

    def __init__(self, source: PcmInput, open_session: SessionFactory, reporter: Reporter, *,
                 should_stop: Callable[[], bool], idle_after: float = 20.0,
                 clock: Callable[[], float] = time.monotonic,
                 sleep: Callable[[float], None] = time.sleep,
                 heartbeat_interval: float = 1.0) -> None:
        self.source = source
        self.open_session = open_session
        self.reporter = reporter
        self.should_stop = should_stop
        self.idle_after = idle_after
        self.clock = clock
        self.sleep = sleep
        self.heartbeat = Heartbeat(reporter, source, clock, heartbeat_interval)
        self._last_drift = (0, 0)
        self._next_drift_log = 0.0
        self._last_reconnect = -1e9
        self._session: s.Session | None = None

    def run(self) -> None:
        """Connect, stream, stand by and reconnect until the input ends or a stop is asked.

        Raises ``SenderError`` when the speaker refuses or is lost for good."""
        self.heartbeat.start()
        try:
            self._run()
        finally:
            if self._session is not None:
                self._session.close()
            self.heartbeat.stop()
            self._log_drift(force=True)

    def _run(self) -> None:
        session = self._connect()
        self.reporter.ready(session.latency)
        while True:
            try:
                outcome = self._stream(session)
            except s.SpeakerBusy as busy:  # another sender took the speaker: wait for it, never take it back
                session.close()
                if not busy.wait_until_free(self._stopping, self.heartbeat.alive):
                    return
                self.reporter.reconnecting()
                session = self._connect()
                continue
            except (s.Disconnected, s.NoResponse) as exc:
                session.close()
                log.warning("speaker connection lost: %s", exc)
                if self.clock() - self._last_reconnect < self.RECONNECT_HOLD:
                    raise s.Disconnected("lost again soon after reconnecting") from exc
                self._last_reconnect = self.clock()
                self.reporter.reconnecting()
                try:
                    session = self._connect()
                except s.SpeakerBusy:
                    raise
                except s.SenderError as again:
                    raise s.Disconnected("reconnect failed: %s" % again) from again
                continue
            session.close()
            if outcome == "stop":
                return
            log.info("input silent for %.0f s: speaker released", self.idle_after)
            self.reporter.idle()
            if not self._stand_by():
                return
            log.info("sound on the input: reconnecting")
            self.reporter.reconnecting()
            session = self._connect()

    def _connect(self) -> s.Session:
        while True:
            self.heartbeat.alive(self.CONNECT_GRACE)
            session = self._session = self.open_session()
            try:
                session.connect()
                break
            except s.SpeakerBusy as busy:  # refused for another sender: wait for it, then ask again
                session.close()
                if not busy.wait_until_free(self._stopping, self.heartbeat.alive):
                    raise
        self.heartbeat.alive(self.STEP_GRACE)
        return session

    def _stopping(self) -> bool:
        return self.should_stop() or self.source.eof

    def _stream(self, session: s.Session) -> str:
        pacer = Pacer(clock=self.clock, sleep=self.sleep)
        playing = False
        next_poll = 0.0
        self.source.discard()
        self.source.streaming = True
        try:
            while True:
                if self._stopping():
                    return "stop"
                step = pacer.wait_next(max_wait=self.POLL_INTERVAL)
                if step is not None:
                    due, reset = step
                    if due - self.source.last_sound >= self.idle_after:
                        return "idle"
                    session.send(self.source.take(), due)
                    pacer.late_histogram.add(self.clock() - due)
                    if reset:
                        log.warning("sender fell behind its schedule; schedule restarted")
                    if not playing:
                        playing = True
                        self.reporter.playing()
                # Housekeeping after the packet, so it never delays one.
                now = self.clock()
                self.heartbeat.alive(self.STEP_GRACE)
                if now >= next_poll:
                    session.poll(now)
                    self._log_drift()
                    next_poll = now + self.POLL_INTERVAL
        finally:
            self.source.streaming = False
            log.info("session ended: %s", pacer.late_histogram.summary())

    def _stand_by(self) -> bool:
        idle_since = self.clock()
        while not self._stopping():
            self.heartbeat.alive(self.STEP_GRACE)
            self.source.discard()
            if self.source.last_sound > idle_since:
                return True
            self.sleep(0.05)
        return False

    def _log_drift(self, force: bool = False) -> None:
        now = self.clock()
        counts = (self.source.dropped_frames, self.source.padded_frames)
        if counts != self._last_drift and (force or now >= self._next_drift_log):
            log.info("input buffer: %d frames dropped (input ahead), %d frames of silence padded "
                     "(input late) so far; %d frames discarded while not streaming",
                     *counts, self.source.discarded_frames)
            self._last_drift = counts
            self._next_drift_log = now + self.DRIFT_LOG_INTERVAL
