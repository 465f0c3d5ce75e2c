"""The protocol-neutral streaming loop: states, idle standby, reconnects, heartbeats.

States reported (``contract.Reporter``):
  ready         the first session is negotiated
  playing       audio flows to the speaker (after ready, and after each reconnect)
  streaming     heartbeat with ``bytes_in``, every second in every state
  idle          the input has been silent for ``idle_after`` seconds: the session is
                closed so the speaker is free for others
  reconnecting  sound came back in standby, or the speaker dropped the connection

Failures are raised as ``session.SenderError``; the caller reports them and exits.

What the application writes during a reconnect is held from the first sound (``PcmInput``) and the next session
plays it from its first frame. It goes out at once, with its packets timed in the recent past, so the speaker's
latency absorbs the reconnect and the stream is at its usual delay right away; held audio the latency has no room
for is taken out before it is sent (silence first, else one faded cut where it is quietest), never trimmed later
frame by frame.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Callable

from . import session as s
from .session import FRAMES_PER_PACKET, PACKET_SECONDS
from .contract import Reporter
from .pacing import LevelSteer, Schedule
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

    ``should_stop`` is polled at every wake-up (SIGTERM, a closed standard output)."""

    # The worker wakes when the application writes (once per recorded fragment, about 43 times a second) and sends
    # every whole packet that has come in, so a write never waits in the pipe; without input it still wakes every
    # INPUT_WAIT for housekeeping and silence padding.
    INPUT_WAIT = 0.05
    POLL_INTERVAL = 0.05
    MAX_PER_WAKE = 32          # a held backlog goes out in bursts this size, back to back
    BACKLOG_MARGIN = 0.25      # of the speaker's latency, kept free when a held backlog is played
    LEAD_IN = 16               # packets of silence that begin every session
    # Input later than the schedule is waited for (it still plays in time), unless none has come for OUTAGE
    # seconds: then the schedule is kept going with silence.
    OUTAGE = 0.1
    CUT_ABOVE = 0.5 * 44100      # frames the input may run ahead before the oldest is cut
    RESTART_AFTER = 1.0 * 44100  # frames of lag (a stalled process) after which the schedule restarts
    # Beyond this many frames either way, a silent packet is doubled or left out: inaudible, and much quicker
    # than single frames.
    SILENCE_TAKES_UP = 0.15 * 44100
    CONNECT_GRACE = 45.0
    STEP_GRACE = 5.0
    DRIFT_LOG_INTERVAL = 60.0
    RECONNECT_HOLD = 30.0

    def __init__(self, source: PcmInput, open_session: SessionFactory, reporter: Reporter, *,
                 should_stop: Callable[[], bool], idle_after: float = 20.0,
                 clock: Callable[[], float] = time.monotonic,
                 sleep: Callable[[float], None] = time.sleep,
                 wait_input: Callable[[float], None] | None = None,
                 heartbeat_interval: float = 1.0) -> None:
        self.source = source
        self.open_session = open_session
        self.reporter = reporter
        self.should_stop = should_stop
        self.idle_after = idle_after
        self.clock = clock
        self.sleep = sleep
        # Returns when input is waiting or after the given seconds; by default (a simulated clock) one packet's worth.
        self.wait_input = wait_input or (lambda seconds: sleep(PACKET_SECONDS))
        self.heartbeat = Heartbeat(reporter, source, clock, heartbeat_interval)
        self.steer = LevelSteer()
        self.padded_frames = 0
        self.silence_packets = 0
        self._last_counts = (0, 0, 0, 0, 0, 0)
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
            except (s.SpeakerBusy, s.Disconnected, s.NoResponse) as exc:
                session.close()
                # Decided once the stream has stopped: any wait this takes holds the input, never leaves it unread.
                exc = session.lost(exc)
                if isinstance(exc, s.SpeakerBusy):  # another sender took the speaker: wait for it, never take it back
                    if not exc.wait_until_free(self._stopping, self.heartbeat.alive):
                        return
                    self.reporter.reconnecting()
                    session = self._connect()
                    continue
                log.warning("speaker connection lost: %s", exc)
                if self.clock() - self._last_reconnect < self.RECONNECT_HOLD:
                    raise s.Disconnected("lost again soon after reconnecting") from exc
                self._last_reconnect = self.clock()
                self.reporter.reconnecting()
                try:
                    session = self._connect()
                except (s.SpeakerBusy, s.ClockLost):
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
        source, steer = self.source, self.steer
        held = source.begin_streaming()
        started = self.clock()
        # The held audio is timed as far back as the speaker's latency allows, after a short lead-in of silence
        # (some receivers drop the first packets of a session). What does not fit is taken out before it is sent,
        # so the stream plays at the latency it reported from the start: silent packets first, then one cut at
        # the quietest point.
        room = max(0, int((session.latency - self.BACKLOG_MARGIN) / PACKET_SECONDS) - self.LEAD_IN) * FRAMES_PER_PACKET
        if held > room:
            held = source.fit_held(room)
        schedule = Schedule(started - (held // FRAMES_PER_PACKET + self.LEAD_IN) * PACKET_SECONDS)
        if held:
            log.info("playing %.2f s held while the speaker was not ready", held / 44100)
        steer.reset(0.0)
        rate = 1.0
        playing = False
        next_poll = 0.0
        outcome = "lost"
        try:
            for _ in range(self.LEAD_IN):
                session.send(bytes(s.PACKET_BYTES), schedule.when(schedule.sent))
                schedule.sent += 1
            while True:
                if self._stopping():
                    if source.eof and not self.should_stop():
                        self._send_rest(session, schedule)
                    outcome = "stop"
                    return outcome
                now = self.clock()
                source.pull()
                if now - max(source.last_sound, started) >= self.idle_after:
                    outcome = "idle"
                    return outcome
                sent = schedule.sent
                level = sent * FRAMES_PER_PACKET + source.buffered_frames - schedule.due_frames(now)
                if level < -self.RESTART_AFTER:
                    log.warning("sender stalled %.1f s; schedule restarted", -level / 44100)
                    schedule.restart(now)
                    level = source.buffered_frames
                    steer.reset(0.0)
                elif level > self.CUT_ABOVE:
                    log.warning("input %.0f ms ahead of the schedule: the oldest cut", level / 44.1)
                    source.drop_oldest(int(level))
                    level = 0.0
                    steer.reset(0.0)
                steer.observe(level, now)
                adjust = steer.next_adjust()
                packets = source.take(self.MAX_PER_WAKE, adjust)
                if packets:
                    steer.done(adjust, len(packets))
                    if not -self.SILENCE_TAKES_UP <= level <= self.SILENCE_TAKES_UP:
                        packets = self._silence_takes_up(packets, level)
                elif level < 0 and now - source.last_data >= self.OUTAGE:
                    if source.buffered_frames:  # the input stopped inside a packet: that packet goes first
                        self.padded_frames += source.pad_last_packet()
                        packets = source.take(1)
                    else:
                        packets = [bytes(s.PACKET_BYTES)] * min(self.MAX_PER_WAKE, -(int(level) // FRAMES_PER_PACKET))
                        self.padded_frames += len(packets) * FRAMES_PER_PACKET
                for pcm in packets:
                    session.send(pcm, schedule.when(schedule.sent))
                    schedule.sent += 1
                count = len(packets)
                if count and not playing:
                    playing = True
                    self.reporter.playing()
                # Housekeeping after the packets, so it never delays one.
                self.heartbeat.alive(self.STEP_GRACE)
                if now >= next_poll:
                    session.poll(now)
                    new_rate = session.clock_rate()
                    if new_rate != rate:
                        rate = new_rate
                        schedule.set_rate(rate)
                    self._log_drift()
                    next_poll = now + self.POLL_INTERVAL
                if count >= self.MAX_PER_WAKE:  # a held backlog: the next burst right away
                    self.sleep(0.002)
                    continue
                self.wait_input(self.INPUT_WAIT)
        finally:
            source.end_streaming(keep=outcome == "lost")
            log.info("session ended: %d packets, schedule restarted %d times", schedule.sent, schedule.restarts)

    def _send_rest(self, session: s.Session, schedule) -> None:
        """The end of the input: everything still buffered goes out, the last packet padded with silence."""
        self.padded_frames += self.source.pad_last_packet()
        try:
            while packets := self.source.take(self.MAX_PER_WAKE):
                for pcm in packets:
                    session.send(pcm, schedule.when(schedule.sent))
                    schedule.sent += 1
        except s.SenderError as exc:  # the input has ended: nothing to reconnect for
            log.info("the end of the input not sent: %s", exc)

    def _silence_takes_up(self, packets: list[bytes], level: float) -> list[bytes]:
        """Leaves silent packets out while the input runs ahead, doubles them while it lags."""
        out = []
        for pcm in packets:
            if pcm.count(0) == len(pcm) and not -self.SILENCE_TAKES_UP <= level <= self.SILENCE_TAKES_UP:
                self.silence_packets += 1
                if level > 0:
                    level -= FRAMES_PER_PACKET
                    continue
                level += FRAMES_PER_PACKET
                out.append(pcm)
            out.append(pcm)
        return out

    def _stand_by(self) -> bool:
        idle_since = self.clock()
        while not self._stopping():
            self.heartbeat.alive(self.STEP_GRACE)
            if self.source.last_sound > idle_since:
                return True
            self.sleep(0.05)
        return False

    def _log_drift(self, force: bool = False) -> None:
        now = self.clock()
        src, steer = self.source, self.steer
        counts = (steer.dropped, steer.repeated, self.silence_packets, self.padded_frames, src.dropped_frames,
                  src.discarded_frames)
        if counts != self._last_counts and (force or now >= self._next_drift_log):
            log.info("input against the schedule: %d frames dropped and %d repeated one at a time, %d silent packets "
                     "left out or doubled; %d frames of silence padded (input late), %d cut (input ahead), %d not "
                     "held while no session streamed",
                     *counts)
            self._last_counts = counts
            self._next_drift_log = now + self.DRIFT_LOG_INTERVAL
