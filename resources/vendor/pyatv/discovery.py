"""Finding AirPlay speakers over mDNS (python3-zeroconf), told apart by their device id.

A speaker advertises ``_raop._tcp`` with the instance label ``<device id>@<name>`` (the name is everything after
the first "@") and, when it speaks AirPlay 2, ``_airplay._tcp`` under the bare name with its device id in the
TXT key ``deviceid``. Two speakers may share a name; records are therefore grouped by device id, never by name,
and a speaker's AirPlay TXT is only ever taken from a record of the same device.

One ``Browser`` runs for the worker's life: after finding the speaker it keeps following its records, whose
status flags say whether a session holds it (``occupancy``).
"""

from __future__ import annotations

import asyncio
import ipaddress
import logging
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

from . import session as s
from .quoting import quoted, quoted_fields

log = logging.getLogger(__name__)

RAOP_TYPE = "_raop._tcp.local."
AIRPLAY_TYPE = "_airplay._tcp.local."
BROWSE_TIMEOUT = 6.0
GRACE = 0.5
RESOLVE_TIMEOUT_MS = 1500
SILENT_OS_MAJOR = 27


@dataclass
class Speaker:
    name: str
    address: str
    port: int
    addresses: list[str] = field(default_factory=list)
    raop_txt: dict[str, str] | None = field(default_factory=dict)
    airplay_txt: dict[str, str] | None = None
    airplay_port: int | None = None
    device_id: str | None = None


@dataclass
class Record:
    kind: str                   # RAOP_TYPE or AIRPLAY_TYPE
    name: str
    device_id: Optional[str]
    port: int
    addresses: List[str]
    txt: Dict[str, str]


def instance_label(full_name: str, service_type: str) -> str:
    suffix = "." + service_type
    return full_name[:-len(suffix)] if full_name.endswith(suffix) else full_name


def speaker_name(raop_label: str) -> str:
    """``749E19CA5C6A@卧室`` -> ``卧室``; a label without "@" is the name itself."""
    return raop_label.split("@", 1)[1] if "@" in raop_label else raop_label


def normal_id(text: Optional[str]) -> Optional[str]:
    """``aa:bb:cc:dd:ee:ff`` and ``AABBCCDDEEFF`` -> ``AA:BB:CC:DD:EE:FF``; None when it is no 48-bit id."""
    digits = (text or "").replace(":", "").replace("-", "").strip().upper()
    if len(digits) != 12 or any(c not in "0123456789ABCDEF" for c in digits):
        return None
    return ":".join(digits[i:i + 2] for i in range(0, 12, 2))


def pick_address(addresses: list[str]) -> str | None:
    """IPv4 first (some speakers advertise IPv6 that does not work), then global IPv6, then anything else."""
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


def os_major(txt: Optional[dict]) -> int:
    try:
        return int((txt or {}).get("osvers", "").split(".")[0])
    except ValueError:
        return 0


def needs_airplay2(airplay_txt: Optional[dict], has_raop: bool) -> bool:
    """A speaker that plays nothing over AirPlay 1: a HomePod on HomePodOS 27 or later, or one without RAOP."""
    txt = airplay_txt or {}
    return not has_raop or (txt.get("model", "").startswith("AudioAccessory") and os_major(txt) >= SILENT_OS_MAJOR)


class Browser:
    """Browses both service types and keeps every resolved record, keyed by service name.
    ``appearances[device id]`` counts how often a device's records came (back) after being withdrawn.

    Names are resolved all at once on zeroconf's event loop, never on its browse thread: a crowded network has
    names that never answer (stale records, sleeping devices), and each would otherwise hold up every name heard
    after it, and closing, for its whole timeout."""

    def __init__(self) -> None:
        from zeroconf import IPVersion, ServiceBrowser, Zeroconf
        self._lock = threading.Condition()
        self.records: Dict[str, Record] = {}
        self.appearances: Dict[str, int] = {}
        self._device_records: Dict[str, int] = {}
        self._resolving: Dict[str, object] = {}    # service name -> its pending resolution
        self._changed: set = set()                 # names announced anew while being resolved
        self._closed = False
        try:
            self._zc = Zeroconf(ip_version=IPVersion.V4Only)
        except (OSError, RuntimeError) as exc:  # no usable network interface
            log.warning("cannot browse for speakers: %s", exc)
            raise s.SpeakerNotFound("no network: %s" % exc, seen=[]) from exc
        self._browser = ServiceBrowser(self._zc, [RAOP_TYPE, AIRPLAY_TYPE], handlers=[self._on_change])

    def close(self) -> None:
        with self._lock:
            self._closed = True
            pending, self._resolving = list(self._resolving.values()), {}
        for future in pending:
            future.cancel()
        self._browser.cancel()
        self._zc.close()

    def _on_change(self, zeroconf, service_type, name, state_change) -> None:  # zeroconf's browse thread
        with self._lock:
            if state_change.name == "Removed":
                self._forget(name)
                self._lock.notify_all()
            elif name in self._resolving:
                self._changed.add(name)
            elif not self._closed:
                self._resolve(service_type, name)

    def _resolve(self, service_type: str, name: str) -> None:
        from zeroconf.asyncio import AsyncServiceInfo
        info = AsyncServiceInfo(service_type, name)
        future = asyncio.run_coroutine_threadsafe(info.async_request(self._zc, RESOLVE_TIMEOUT_MS), self._zc.loop)
        self._resolving[name] = future
        future.add_done_callback(lambda done: self._resolved(service_type, name, info, done))

    def _resolved(self, service_type: str, name: str, info, future) -> None:  # zeroconf's event loop
        resolved = not future.cancelled() and future.exception() is None and future.result() and info.port
        with self._lock:
            if self._resolving.get(name) is not future:     # withdrawn meanwhile, or closing
                return
            del self._resolving[name]
            if resolved:
                self._keep(name, self._record(service_type, name, info))
                self._lock.notify_all()
            if name in self._changed and not self._closed:
                self._changed.discard(name)
                self._resolve(service_type, name)
        if not resolved:
            log.info("could not resolve %r", name)

    @staticmethod
    def _record(service_type: str, name: str, info) -> Record:
        txt = decode_txt(info.properties)
        label = instance_label(name, service_type)
        if service_type == RAOP_TYPE:
            return Record(RAOP_TYPE, speaker_name(label), normal_id(label.split("@", 1)[0]) if "@" in label
                          else None, info.port, info.parsed_scoped_addresses(), txt)
        return Record(AIRPLAY_TYPE, label, normal_id(txt.get("deviceid")), info.port,
                      info.parsed_scoped_addresses(), txt)

    def _keep(self, name: str, record: Record) -> None:
        new = name not in self.records     # not an update of a record kept
        self._forget(name, resolving=False)
        if record.device_id:
            if new and not self._device_records.get(record.device_id):
                self.appearances[record.device_id] = self.appearances.get(record.device_id, 0) + 1
            self._device_records[record.device_id] = self._device_records.get(record.device_id, 0) + 1
        self.records[name] = record

    def _forget(self, name: str, resolving: bool = True) -> None:
        if resolving:
            self._resolving.pop(name, None)
            self._changed.discard(name)
        old = self.records.pop(name, None)
        if old is not None and old.device_id:
            self._device_records[old.device_id] -= 1

    def snapshot(self) -> List[Record]:
        with self._lock:
            return list(self.records.values())

    def wait(self, seconds: float) -> None:
        with self._lock:
            self._lock.wait(seconds)


def of_device(records: List[Record], device_id: Optional[str], name: str) -> List[Record]:
    """The records of one device (by id, or by name for a speaker without one)."""
    return [r for r in records if (r.device_id == device_id if device_id else r.name == name)]


def _speaker(records: List[Record], name: str) -> Optional[Speaker]:
    raop = next((r for r in records if r.kind == RAOP_TYPE), None)
    airplay = next((r for r in records if r.kind == AIRPLAY_TYPE), None)
    main = raop or airplay
    address = pick_address(main.addresses)
    if address is None:
        return None
    return Speaker(name=name, address=address, port=main.port, addresses=main.addresses,
                   raop_txt=raop.txt if raop else None, airplay_txt=airplay.txt if airplay else None,
                   airplay_port=airplay.port if airplay else None, device_id=main.device_id)


def group(records: List[Record]) -> Dict[str, List[Record]]:
    """Records by device. An AirPlay record without a device id joins the RAOP record of that name at one of its
    addresses; otherwise it stands alone under its name."""
    devices: Dict[str, List[Record]] = {}
    by_name: Dict[str, List[str]] = {}     # name -> keys of the RAOP groups of that name
    for raop in (True, False):
        for record in records:
            if (record.kind == RAOP_TYPE) != raop:
                continue
            key = record.device_id
            if key is None:
                key = next((k for k in by_name.get(record.name, ()) if any(
                    r.name == record.name and set(r.addresses) & set(record.addresses) for r in devices[k])),
                    "name:" + record.name)
            if raop:
                by_name.setdefault(record.name, []).append(key)
            devices.setdefault(key, []).append(record)
    return devices


def find_speaker(browser: Browser, name: str, *, timeout: float = BROWSE_TIMEOUT,
                 should_stop: Callable[[], bool] = lambda: False) -> Speaker:
    """The speaker called ``name``, once it is resolved and a short grace has passed for its other record and for
    namesakes. Raises ``SpeakerNotFound`` (with the names seen) after ``timeout`` seconds."""
    start = time.monotonic()
    found_at, matches = None, {}
    while not should_stop() and not s.STOP.is_set():
        now = time.monotonic()
        matches = {k: rs for k, rs in group(browser.snapshot()).items() if any(r.name == name for r in rs)}
        if matches and found_at is None:
            found_at = now
        complete = any(len(rs) > 1 for rs in matches.values())
        if found_at is not None and (complete or now - found_at >= GRACE) or now - start >= timeout:
            break
        browser.wait(0.05)
    if not matches:
        names = sorted({r.name for r in browser.snapshot()})
        log.warning("speaker %r not found within %.1f s; speakers seen: %s", name, time.monotonic() - start,
                    ", ".join(repr(n) for n in names) if names else "none")
        raise s.SpeakerNotFound("not found", seen=names)
    # The one with an AirPlay 1 record first, then the first advertised: a stable choice among namesakes.
    keys = sorted(matches, key=lambda k: not any(r.kind == RAOP_TYPE for r in matches[k]))
    if len(keys) > 1:
        log.warning("%d speakers are called %r (device ids %s); using %s", len(keys), name, ", ".join(keys), keys[0])
    speaker = _speaker(matches[keys[0]], name)
    if speaker is None:
        raise s.SpeakerNotFound("%r has no address" % name, seen=[name])
    log.info("found %r (device %s) at %s:%d after %.2f s; RAOP TXT %s; AirPlay TXT %s", name, speaker.device_id,
             speaker.address, speaker.port, time.monotonic() - start, quoted_fields(speaker.raop_txt),
             quoted_fields(speaker.airplay_txt))
    if speaker.raop_txt is not None and needs_airplay2(speaker.airplay_txt, True):
        log.warning("speaker %r runs HomePodOS %s: it plays nothing over AirPlay 1", name,
                    quoted((speaker.airplay_txt or {}).get("osvers")))
    return speaker


def listing(browser: Browser, seconds: float) -> List[dict]:
    """One entry per speaker heard within ``seconds``: name, whether it needs AirPlay 2, device id."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not s.STOP.is_set():
        browser.wait(min(0.1, max(0.0, deadline - time.monotonic())))
    out = []
    for key, records in group(browser.snapshot()).items():
        raop = next((r for r in records if r.kind == RAOP_TYPE), None)
        airplay = next((r for r in records if r.kind == AIRPLAY_TYPE), None)
        entry = {"name": (raop or airplay).name, "airplay2": needs_airplay2(airplay.txt if airplay else None,
                                                                             raop is not None)}
        if not key.startswith("name:"):
            entry["id"] = key
        out.append(entry)
    return out


def make_session(speaker: Speaker, protocol: str = "auto") -> s.Session:
    """The session for ``speaker``: AirPlay 2 when it needs or offers it (or when asked), else AirPlay 1."""
    if protocol != "raop":
        from .airplay2.selection import airplay2_session
        session = airplay2_session(speaker, forced=protocol == "airplay2")
        if session is not None:
            return session
    from .raop import RaopSession
    return RaopSession(speaker.address, speaker.port, speaker.raop_txt)
