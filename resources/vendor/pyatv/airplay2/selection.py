"""Picks AirPlay 2 or AirPlay 1 for a discovered speaker and builds the AirPlay 2 session.

The choice is made once per speaker and kept for reconnects. PTP needs the ports 319/320, which are opened
only when the chosen timing needs them and then kept for the life of the worker (one process per host may
hold them): one pair per local address facing a speaker, shared by every speaker behind it (``ClockHub``), and
one clock of ours for all of them.
"""

import logging
from typing import Dict, Optional, Tuple

from .. import session as s
from ..ptp import clock_ports
from ..ptp.clock import LocalClock
from ..ptp.clock_hub import ClockHub
from ..rtsp import RtspClient, RtspClosed, RtspMalformed, RtspStopped, RtspTimeout
from . import binary_plist, protocol_choice
from .session import USER_AGENT, AirPlay2Session

log = logging.getLogger(__name__)

_choices: Dict[Tuple[str, int], protocol_choice.Choice] = {}
_hubs: Dict[Optional[str], Optional[ClockHub]] = {}   # by the local address facing the speaker
_our_clock = LocalClock()


def clock_hub(speaker_address: str) -> Optional[ClockHub]:
    """The PTP ports facing ``speaker_address``; None when they cannot be had (tried once per local address)."""
    local_address = clock_ports.facing_address(speaker_address)
    if local_address not in _hubs:
        sockets = clock_ports.open_clock_sockets(local_address)
        _hubs[local_address] = ClockHub(sockets, _our_clock) if sockets is not None else None
    return _hubs[local_address]


def info_as_txt(host: str, port: int, timeout: float = 3.0) -> Dict[str, str]:
    """`GET /info` read into the TXT keys the choice uses, for a speaker given by address only."""
    client = RtspClient(host, port, timeout=timeout, headers={"User-Agent": USER_AGENT}, stop=s.STOP)
    try:
        client.connect()
        reply = client.request("GET", "/info")
    except RtspStopped as exc:
        raise s.Stopped(str(exc)) from exc
    except (OSError, RtspClosed, RtspTimeout, RtspMalformed) as exc:
        log.info("GET /info from %s:%d failed: %s", host, port, exc)
        return {}
    finally:
        client.close()
    try:
        info = binary_plist.decode(reply.body) if reply.status == 200 else {}
    except binary_plist.PlistError:
        info = {}
    txt = {}
    if isinstance(info, dict):
        if isinstance(info.get("features"), int) and 0 <= info["features"] < 1 << 64:
            features = info["features"]
            txt["features"] = "0x%X,0x%X" % (features & 0xFFFFFFFF, features >> 32)
        if isinstance(info.get("model"), str) and len(info["model"]) <= 64:
            txt["model"] = info["model"]
        if isinstance(info.get("statusFlags"), int) and 0 <= info["statusFlags"] < 1 << 64:
            txt["flags"] = "0x%X" % info["statusFlags"]
    log.info("GET /info from %s:%d: %s", host, port, txt or "nothing usable")
    return txt


def _choose(speaker, forced: bool) -> protocol_choice.Choice:
    airplay_txt = speaker.airplay_txt
    if forced and not airplay_txt:
        airplay_txt = info_as_txt(speaker.address, speaker.airplay_port or speaker.port)
    choice = protocol_choice.choose(airplay_txt, speaker.raop_txt, True)
    needs_ports = choice.timing in (protocol_choice.PTP_MASTER, protocol_choice.PTP_FOLLOW)
    if needs_ports and clock_hub(speaker.address) is None:
        choice = protocol_choice.choose(airplay_txt, speaker.raop_txt, False)
    if forced and choice.protocol == protocol_choice.RAOP:
        choice = protocol_choice.Choice(protocol_choice.AIRPLAY2, None if choice.problem else protocol_choice.NTP,
                                        choice.problem)
    log.info("speaker %r: %s%s%s", speaker.name, choice.protocol,
             " with %s timing" % choice.timing if choice.timing else "",
             " (%s)" % choice.problem if choice.problem else "")
    if choice.problem == protocol_choice.NO_CLOCK_PORTS:
        reason = clock_ports.why_unavailable(clock_ports.facing_address(speaker.address))
        if choice.protocol == protocol_choice.RAOP:
            log.warning("speaker %r gets AirPlay 1 instead of AirPlay 2 with PTP, which it plays as well",
                        speaker.name)
        choice = choice._replace(problem=reason)
    return choice


def airplay2_session(speaker, forced: bool = False) -> Optional[s.Session]:
    """The AirPlay 2 session for ``speaker``, or None when it should get AirPlay 1.

    Raises ``ClockPortsUnavailable`` for a speaker that would stay silent without PTP."""
    key = (speaker.address, speaker.port)
    if key not in _choices:
        _choices[key] = _choose(speaker, forced)
    choice = _choices[key]
    if choice.protocol != protocol_choice.AIRPLAY2:
        return None
    if choice.problem is not None:
        raise s.ClockPortsUnavailable("PTP ports 319/320 unavailable", reason=choice.problem)
    hub = clock_hub(speaker.address) if choice.timing != protocol_choice.NTP else None
    return AirPlay2Session(speaker.address, speaker.airplay_port or speaker.port, choice.timing, clock_hub=hub)
