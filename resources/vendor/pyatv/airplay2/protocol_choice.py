"""Which protocol and which timing a receiver gets, decided from its TXT records and whether the PTP ports
319/320 could be had.

| receiver                                   | PTP ports | choice                                          |
| no AirPlay 2 features (bits 38, 48)        | any       | AirPlay 1                                       |
| standalone HomePod on 27 or later          | yes / no  | AirPlay 2 following its clock / none: ports     |
| offers PTP (bit 41)                        | yes       | AirPlay 2, we are the PTP grandmaster           |
| offers PTP, has RAOP, not a HomePod on 27+ | no        | AirPlay 1, and the log says why                 |
| offers PTP otherwise                       | no        | none: ports (NTP is not known to play there:    |
|                                            |           | shairport-sync 5 answers "not implemented")     |
| AirPlay 2 without PTP                      | any       | AirPlay 2 with NTP timing, the only kind it has |
"""

from typing import Mapping, NamedTuple, Optional

AIRPLAY2 = "airplay2"
RAOP = "raop"

PTP_MASTER = "ptp-master"
PTP_FOLLOW = "ptp-follow"
NTP = "ntp"

BIT_UNIFIED_MEDIA_CONTROL = 38
BIT_PTP = 41
BIT_COREUTILS_PAIRING = 48

NO_CLOCK_PORTS = "no-clock-ports"


class Choice(NamedTuple):
    protocol: str
    timing: Optional[str] = None
    problem: Optional[str] = None


def parse_features(value: Optional[str]) -> int:
    """`0xLOW,0xHIGH` or a single hex number; unreadable values count as no features."""
    if not value:
        return 0
    try:
        parts = [int(part.strip(), 16) for part in value.split(",")]
    except ValueError:
        return 0
    low = parts[0] & 0xFFFFFFFF
    high = (parts[1] & 0xFFFFFFFF) if len(parts) > 1 else (parts[0] >> 32)
    return (high << 32) | low


def _major_version(value: Optional[str]) -> int:
    try:
        return int((value or "").strip().split(".")[0])
    except ValueError:
        return 0


def is_homepod_on_27(txt: Optional[Mapping[str, str]]) -> bool:
    """HomePods on HomePodOS 27 or later accept AirPlay 1 and play nothing."""
    return bool(txt) and txt.get("model", "").startswith("AudioAccessory") and _major_version(txt.get("osvers")) >= 27


def is_standalone_homepod_on_27(txt: Mapping[str, str]) -> bool:
    """A HomePod on 27 that is neither in an Apple TV group nor a stereo pair plays only on its own PTP clock."""
    return is_homepod_on_27(txt) and txt.get("igl", "") == "1" and "pgid" not in txt and "tsid" not in txt


def receiver_features(airplay_txt: Optional[Mapping[str, str]], raop_txt: Optional[Mapping[str, str]]) -> int:
    if airplay_txt and airplay_txt.get("features"):
        return parse_features(airplay_txt["features"])
    if raop_txt:
        return parse_features(raop_txt.get("ft"))
    return 0


def choose(airplay_txt: Optional[Mapping[str, str]], raop_txt: Optional[Mapping[str, str]],
           clock_ports_available: bool) -> Choice:
    """``raop_txt`` None: the receiver has no AirPlay 1 service at all."""
    features = receiver_features(airplay_txt, raop_txt)
    if not features & ((1 << BIT_UNIFIED_MEDIA_CONTROL) | (1 << BIT_COREUTILS_PAIRING)):
        return Choice(RAOP)
    if airplay_txt is not None and is_standalone_homepod_on_27(airplay_txt):
        return Choice(AIRPLAY2, PTP_FOLLOW) if clock_ports_available else Choice(AIRPLAY2, None, NO_CLOCK_PORTS)
    if features & (1 << BIT_PTP):
        if clock_ports_available:
            return Choice(AIRPLAY2, PTP_MASTER)
        if raop_txt is not None and not is_homepod_on_27(airplay_txt):
            return Choice(RAOP, None, NO_CLOCK_PORTS)
        return Choice(AIRPLAY2, None, NO_CLOCK_PORTS)
    return Choice(AIRPLAY2, NTP)
