"""The ANNOUNCE body: ALAC 352 frames, 16-bit, stereo, 44100 Hz, unencrypted."""

from __future__ import annotations

import ipaddress


def _addr(ip: str) -> str:
    return ("IN IP6 " if ipaddress.ip_address(ip.split("%")[0]).version == 6 else "IN IP4 ") + ip


def alac_sdp(session_id: int, local_ip: str, remote_ip: str) -> bytes:
    lines = [
        "v=0",
        "o=iTunes %d 0 %s" % (session_id, _addr(local_ip)),
        "s=iTunes",
        "c=%s" % _addr(remote_ip),
        "t=0 0",
        "m=audio 0 RTP/AVP 96",
        "a=rtpmap:96 AppleLossless",
        "a=fmtp:96 352 0 16 40 10 14 2 255 0 0 44100",
    ]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")
