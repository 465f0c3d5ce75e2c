"""Finding a speaker by its name over mDNS (python3-zeroconf).

AirPlay speakers advertise ``_raop._tcp`` with the instance label ``<hex id>@<name>``;
the name is everything after the first "@" and must match exactly. Apple devices also
advertise ``_airplay._tcp`` under the bare name, whose TXT record carries the OS version.
"""

from __future__ import annotations

import ipaddress
import logging
import queue
import time
from dataclasses import dataclass, field
from typing import Callable

from . import session as s

log = logging.getLogger(__name__)

RAOP_TYPE = "_raop._tcp.local."
AIRPLAY_TYPE = "_airplay._tcp.local."
BROWSE_TIMEOUT = 6.0
AIRPLAY_GRACE = 0.3
RESOLVE_TIMEOUT_MS = 3000
SILENT_OS_MAJOR = 27


@dataclass
class Speaker:
    name: str
    address: str
    port: int
    addresses: list[str] = field(default_factory=list)
    raop_txt: dict[str, str] = field(default_factory=dict)
    airplay_txt: dict[str, str] | None = None
    airplay_port: int | None = None


def instance_label(full_name: str, service_type: str) -> str:
    suffix = "." + service_type
    return full_name[:-len(suffix)] if full_name.endswith(suffix) else full_name


def speaker_name(raop_label: str) -> str:
    """``749E19CA5C6A@卧室`` -> ``卧室``; a label without "@" is the name itself."""
    return raop_label.split("@", 1)[1] if "@" in raop_label else raop_label


def pick_address(addresses: list[str]) -> str | None:
    """IPv4 first (some speakers advertise IPv6 that does not work), then global IPv6,
    then anything else."""
    def rank(text: str) -> int:
        try:
            ip = ipaddress.ip_address(text.split("%")[0])
        except ValueError:
            return 9
        if ip.version == 4:
            return 0 if not ip.is_link_local else 1
        return 2 if not ip.is_link_local else 3
    ordered = sorted(addresses, key=rank)
    return ordered[0] if ordered else None


def decode_txt(properties: dict) -> dict[str, str]:
    out: dict[str, str] = {}
    for key, value in properties.items():
        k = key.decode("utf-8", "replace") if isinstance(key, bytes) else str(key)
        if value is None:
            out[k] = ""
        else:
            out[k] = value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
    return out


def os_warning(speaker: Speaker) -> str | None:
    """A warning for speakers reported to accept an AirPlay 1 stream and stay silent."""
    txt = speaker.airplay_txt or {}
    version = txt.get("osvers", "")
    try:
        major = int(version.split(".")[0])
    except ValueError:
        return None
    if major >= SILENT_OS_MAJOR:
        return ("speaker %r runs OS %s (model %s): devices on OS %d or later are reported to "
                "accept AirPlay 1 streams but play nothing; if there is no sound, the speaker "
                "needs an AirPlay 2 sender" % (speaker.name, version, txt.get("model", "?"),
                                               SILENT_OS_MAJOR))
    return None


def find_speaker(name: str, *, timeout: float = BROWSE_TIMEOUT,
                 should_stop: Callable[[], bool] = lambda: False) -> Speaker:
    """Browse until a speaker called ``name`` is resolved. Raises ``SpeakerNotFound``
    (with the names seen) after ``timeout`` seconds."""
    from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf

    events: queue.Queue = queue.Queue()

    def on_change(zeroconf, service_type, name, state_change):  # zeroconf's thread
        events.put((service_type, name, state_change))

    try:
        zc = Zeroconf(ip_version=IPVersion.V4Only)
    except (OSError, RuntimeError) as exc:  # no usable network interface
        log.warning("cannot browse for speakers: %s", exc)
        raise s.SpeakerNotFound("no network: %s" % exc, seen=[]) from exc
    try:
        browser = ServiceBrowser(zc, [RAOP_TYPE, AIRPLAY_TYPE], handlers=[on_change])
        try:
            return _wait_for(zc, name, events, timeout, should_stop, ServiceStateChange.Added)
        finally:
            browser.cancel()
    finally:
        zc.close()


def _wait_for(zc, name: str, events: queue.Queue, timeout: float,
              should_stop: Callable[[], bool], added) -> Speaker:
    start = time.monotonic()
    deadline = start + timeout
    seen: dict[str, None] = {}
    airplay: dict[str, str] = {}
    found: Speaker | None = None
    found_at = 0.0
    unresolved: str | None = None
    retry_at = 0.0

    def resolve(full: str) -> Speaker | None:
        speaker = _resolve(zc, full, name)
        if speaker is not None:
            log.info("found %r (%s) at %s:%d after %.2f s, TXT %s", name,
                     instance_label(full, RAOP_TYPE), speaker.address, speaker.port,
                     time.monotonic() - start, speaker.raop_txt)
            if name in airplay:
                _add_airplay(zc, speaker, airplay[name])
        return speaker

    while True:
        now = time.monotonic()
        if found is not None and (found.airplay_txt is not None or now - found_at >= AIRPLAY_GRACE):
            break
        if now >= deadline or should_stop():
            break
        if found is None and unresolved is not None and now >= retry_at:
            found = resolve(unresolved)
            found_at = retry_at = time.monotonic()
            retry_at += 0.5
        try:
            service_type, full, change = events.get(timeout=0.05)
        except queue.Empty:
            continue
        if change is not added:
            continue
        if service_type == AIRPLAY_TYPE:
            label = instance_label(full, AIRPLAY_TYPE)
            airplay[label] = full
            if found is not None and label == name:
                _add_airplay(zc, found, full)
            continue
        candidate = speaker_name(instance_label(full, RAOP_TYPE))
        seen[candidate] = None
        if found is None and unresolved is None and candidate == name:
            unresolved = full
            retry_at = 0.0
    if found is None:
        names = list(seen)
        log.warning("speaker %r not found within %.1f s; speakers seen: %s", name, timeout,
                    ", ".join(repr(n) for n in names) if names else "none")
        raise s.SpeakerNotFound("not found", seen=names)
    warning = os_warning(found)
    if warning:
        log.warning(warning)
    return found


def _resolve(zc, full: str, name: str) -> Speaker | None:
    info = zc.get_service_info(RAOP_TYPE, full, timeout=RESOLVE_TIMEOUT_MS)
    if info is None or not info.port:
        log.warning("could not resolve %r", full)
        return None
    addresses = info.parsed_scoped_addresses()
    address = pick_address(addresses)
    if address is None:
        log.warning("%r has no address", full)
        return None
    return Speaker(name=name, address=address, port=info.port, addresses=addresses,
                   raop_txt=decode_txt(info.properties))


def _add_airplay(zc, speaker: Speaker, full: str) -> None:
    info = zc.get_service_info(AIRPLAY_TYPE, full, timeout=1000)
    if info is None:
        speaker.airplay_txt = {}
        return
    speaker.airplay_txt = decode_txt(info.properties)
    speaker.airplay_port = info.port
    log.info("%r also offers AirPlay (port %s), TXT %s", speaker.name, info.port,
             speaker.airplay_txt)


def make_session(speaker: Speaker, protocol: str = "auto") -> s.Session:
    """The session for ``speaker``: AirPlay 2 when it offers it (or when asked), else AirPlay 1."""
    if protocol != "raop":
        from .airplay2.selection import airplay2_session
        session = airplay2_session(speaker, forced=protocol == "airplay2")
        if session is not None:
            return session
    from .raop import RaopSession
    return RaopSession(speaker.address, speaker.port, speaker.raop_txt)
