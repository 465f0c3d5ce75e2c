"""What a speaker's ``_raop._tcp`` TXT record says about the stream it takes."""

from __future__ import annotations

from .. import session as s
from ..quoting import quoted


def _list(txt: dict[str, str], key: str) -> list[str] | None:
    value = txt.get(key)
    if value is None:
        return None
    return [item.strip() for item in value.split(",") if item.strip()]


def _flags(txt: dict[str, str], key: str) -> int:
    try:
        return int(txt.get(key, "0"), 0)
    except ValueError:
        return 0


def check_capabilities(txt: dict[str, str]) -> None:
    """Raise the matching ``SenderError`` when the advertised record rules out an
    unencrypted ALAC stream of 44100 Hz, 16-bit stereo over UDP. Absent keys mean the
    defaults of the protocol (44100/16/2, every codec, no encryption)."""
    transports = _list(txt, "tp")
    if transports is not None and "UDP" not in [t.upper() for t in transports]:
        raise s.UnsupportedSpeaker("no UDP transport (tp=%s)" % quoted(txt.get("tp")))
    for key, want in (("sr", "44100"), ("ss", "16"), ("ch", "2")):
        if key in txt and txt[key].strip() != want:
            raise s.FormatRefused("%s=%s" % (key, quoted(txt[key])))
    codecs = _list(txt, "cn")
    if codecs is not None and "1" not in codecs:
        raise s.FormatRefused("no ALAC (cn=%s)" % quoted(txt.get("cn")))
    encryption = _list(txt, "et")
    if encryption is not None and "0" not in encryption:
        raise s.UnsupportedSpeaker("encrypted streams only (et=%s)" % quoted(txt.get("et")))
    status = _flags(txt, "sf")
    if txt.get("pw", "").lower() == "true" or status & 0x80:
        raise s.PasswordRequired("advertised")
    if status & (0x200 | 0x8):
        raise s.PairingRequired("advertised (sf=%s)" % quoted(txt.get("sf")))
