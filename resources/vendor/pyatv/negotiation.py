"""Negotiation as data: each protocol lists its RTSP steps (method, what it sends, how the reply is read, what a
refusal means) and ``run`` plays one step, so every failure ends as a ``SenderError`` that names its cause.

A reply that breaks the protocol (not RTSP, an unreadable field) is the speaker's fault and becomes a
``ProtocolError`` naming the step; it is never left to surface as an internal error.
"""

from __future__ import annotations

import logging
import math
import random
from typing import Any, Callable, Container, Mapping, NamedTuple, Optional

from . import session as s
from .quoting import quoted
from .rtsp import Response, RtspClient, RtspClosed, RtspMalformed, RtspStopped, RtspTimeout

log = logging.getLogger(__name__)

#: What a refusal means on any step; a step adds its own, anything else is a ProtocolError.
REFUSALS: Mapping[int, type] = {
    401: s.PasswordRequired,
    403: s.PairingRequired,
    453: s.SpeakerBusy,
    406: s.FormatRefused,
    415: s.FormatRefused,
    456: s.FormatRefused,
    520: s.TimingPortUnreachable,
}


class Step(NamedTuple):
    """One request. ``uri`` None means the session URI. ``request(ctx)`` gives (headers, body, content type);
    ``check(ctx, reply)`` reads what the reply gives (raising ``Malformed`` on a broken one); ``accepted``: the
    statuses that let the negotiation go on, ``refusals`` what any other means; ``applies(ctx)``: whether the step
    is sent at all."""
    method: str
    uri: Optional[str] = None
    request: Optional[Callable[[Any], tuple]] = None
    check: Optional[Callable[[Any, Response], None]] = None
    accepted: Container = (200,)
    refusals: Mapping[int, type] = REFUSALS
    applies: Optional[Callable[[Any], bool]] = None


ANY_STATUS = range(100, 1000)


class Malformed(ValueError):
    """A reply field that cannot be what the protocol says it is."""


def guarded(what: str, action: Callable[[], Any]) -> Any:
    """Runs one exchange with the speaker, mapping transport failures to the user's causes."""
    try:
        return action()
    except RtspStopped as exc:
        raise s.Stopped("%s: %s" % (what, exc)) from exc
    except RtspTimeout as exc:
        raise s.NoResponse("%s: %s" % (what, exc)) from exc
    except RtspClosed as exc:
        raise s.NoResponse("%s: connection closed (%s)" % (what, exc)) from exc
    except (RtspMalformed, Malformed) as exc:
        raise s.ProtocolError("%s: %s" % (what, exc), status=what) from exc


def open_control(host: str, port: int, timeout: float, user_agent: str) -> RtspClient:
    """The RTSP connection a session negotiates on, with the headers every request carries (a random DACP id and
    Active-Remote, which only let a receiver address remote-control commands to us)."""
    rng = random.SystemRandom()
    dacp_id = "%016X" % rng.getrandbits(64)
    rtsp = RtspClient(host, port, timeout=timeout, stop=s.STOP, headers={
        "User-Agent": user_agent, "DACP-ID": dacp_id, "Active-Remote": str(rng.getrandbits(32)),
        "Client-Instance": dacp_id})
    try:
        rtsp.connect()
    except RtspStopped as exc:
        raise s.Stopped(str(exc)) from exc
    except OSError as exc:
        raise s.Unreachable(str(exc), address="%s:%d" % (host, port)) from exc
    return rtsp


def session_uri(local_ip: str, session_id: int) -> str:
    return "rtsp://%s/%d" % ("[%s]" % local_ip if ":" in local_ip else local_ip, session_id)


def run(rtsp: RtspClient, step: Step, ctx: Any, uri: str, common_headers: Optional[dict] = None) -> Optional[Response]:
    """Plays ``step``; its reply, or None for a step that does not apply."""
    if step.applies is not None and not step.applies(ctx):
        return None
    headers, body, content_type = step.request(ctx) if step.request else ({}, b"", None)
    target = step.uri or uri
    reply = guarded(step.method, lambda: rtsp.request(step.method, target, {**(common_headers or {}), **headers},
                                                      body, content_type))
    log.debug("%s %s -> %d %s", step.method, target, reply.status, quoted(reply.reason))
    if reply.status not in step.accepted:
        error = step.refusals.get(reply.status, s.ProtocolError)
        raise error("%s answered %d %s" % (step.method, reply.status, quoted(reply.reason)),
                    status="%s %d" % (step.method, reply.status))
    if step.check is not None:
        guarded(step.method, lambda: step.check(ctx, reply))
    return reply


def port(value: Any) -> int:
    """A UDP or TCP port number from a reply; anything else (text, a float, infinity, 0) is malformed."""
    number = whole(value)
    if not 0 < number < 65536:
        raise Malformed("port %s" % quoted(value))
    return number


def whole(value: Any, low: int = -(1 << 63), high: int = (1 << 64) - 1) -> int:
    """An integer from a plist reply; never a float, infinity, text or a boolean."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise Malformed("%s is not a whole number in range" % quoted(value))
    return value


def digits(text: Any) -> int:
    """A number written in a header: decimal digits only, and no more of them than a 64-bit field holds."""
    if not isinstance(text, str) or not text.strip().isdigit() or not text.strip().isascii() \
            or len(text.strip()) > 20:
        raise Malformed("%s is not a number" % quoted(text))
    return int(text.strip())


def milliseconds(value: Any) -> float:
    """A latency in ms from a reply: a finite, non-negative number below a minute."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or not 0 <= value < 60_000:
        raise Malformed("latency %s ms" % quoted(value))
    return float(value)
