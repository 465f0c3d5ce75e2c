"""Requests on the control connection once audio flows, sent without waiting for their replies: POST /feedback
every 2 s (receivers drop a session without it), SETPEERS when the receivers on our clock change, and once, a
second into the audio, the speaker's own volume read and sent back, which some receivers want before they play.
A reply overdue by 10 s means the speaker is gone."""

import logging
from typing import Callable, List, Tuple

from .. import session as s
from ..quoting import quoted
from ..rtsp import Response, RtspClient, RtspClosed, RtspMalformed, RtspTimeout

log = logging.getLogger(__name__)

FEEDBACK_INTERVAL = 2.0
REPLY_TIMEOUT = 10.0
VOLUME_AFTER = 1.0


class ControlRequests:
    def __init__(self, rtsp: RtspClient, uri: str, clock: Callable[[], float]):
        self._rtsp, self._uri, self._clock = rtsp, uri, clock
        self._waiting: List[Tuple[int, str, float]] = []     # (cseq, what, sent at) in the order sent
        self._next_feedback = clock() + FEEDBACK_INTERVAL
        self._volume_state = "unknown"

    def poll(self, now: float, audio_since) -> None:
        try:
            self._read_replies()
            if self._waiting and now - self._waiting[0][2] > REPLY_TIMEOUT:
                raise s.NoResponse("no answer to %s" % self._waiting[0][1])
            if now >= self._next_feedback:
                self._request("POST", "/feedback", "feedback", now)
                self._next_feedback = now + FEEDBACK_INTERVAL
            if self._volume_state == "unknown" and audio_since is not None and now - audio_since >= VOLUME_AFTER:
                self._request(
                    "GET_PARAMETER", self._uri, "volume?", now, b"volume\r\n", "text/parameters")
                self._volume_state = "asked"
        except RtspClosed as exc:
            raise s.ClosedBySpeaker(str(exc)) from exc
        except RtspTimeout as exc:
            raise s.NoResponse(str(exc)) from exc
        except RtspMalformed as exc:
            raise s.ProtocolError(str(exc), status=self._waiting[0][1] if self._waiting else "feedback") from exc

    def tell_peers(self, peers: bytes, now: float) -> None:
        """The receivers on our clock changed: the speaker is told the new list, as when it joined."""
        self._request("SETPEERS", self._uri, "peers", now, peers, "/peer-list-changed")

    def _request(self, method, uri, what, now, body=b"", content_type=None) -> None:
        cseq = self._rtsp.send(method, uri, None, body, content_type)
        self._waiting.append((cseq, what, now))

    def _read_replies(self) -> None:
        for reply in self._rtsp.poll():
            index = next((i for i, w in enumerate(self._waiting) if w[0] == reply.cseq), 0 if self._waiting else -1)
            if index < 0:
                continue
            _, what, _ = self._waiting.pop(index)
            if what == "volume?":
                self._volume_reply(reply)
            elif what == "volume" and reply.status != 200:
                log.info("speaker answered %d to its own volume", reply.status)
            elif what == "feedback" and reply.status != 200:
                log.debug("feedback answered %d", reply.status)

    def _volume_reply(self, reply: Response) -> None:
        self._volume_state = "done"
        text = reply.body.decode("utf-8", "replace") if reply.status == 200 else ""
        name, _, value = text.partition(":")
        try:
            volume = float(value)
        except ValueError:
            log.info("speaker did not tell its volume (%d); leaving it alone", reply.status)
            return
        if name.strip().lower() != "volume" or not -144.0 <= volume <= 0.0:
            log.info("speaker volume %s not usable; leaving it alone", quoted(text))
            return
        self._request("SET_PARAMETER", self._uri, "volume", self._clock(), ("volume: %f\r\n" % volume).encode(),
                      "text/parameters")
