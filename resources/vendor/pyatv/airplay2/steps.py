"""The AirPlay 2 negotiation as a table: what each request carries and what its reply must give.

Order (the one a reference receiver accepted), after transient pairing has encrypted the channel:
  SETUP     session plist (PTP or NTP timing)     reply: event port, the receiver's clock
  RECORD                                          reply: Audio-Latency (NTP timing only)
  SETPEERS  [receiver, ..., sender]  (PTP only)   shairport-sync then tells nqptp whom to watch
  SETUP     stream plist (type 96, ALAC, key)     reply: data and control ports, read by key

The context ``x`` is the session being negotiated; each check stores what it read on it.
"""

import uuid

from .. import negotiation as n
from .. import session as s
from ..ptp.time_announce import PLAY_LATENCY
from . import binary_plist, protocol_choice

NTP_LATENCY_FRAMES = 77175
NTP_RECEIVER_OFFSET_FRAMES = 11025
PTP_LATENCY_FRAMES = PLAY_LATENCY


def _plist(reply) -> dict:
    try:
        answer = binary_plist.decode(reply.body)
    except binary_plist.PlistError as exc:
        raise n.Malformed(str(exc)) from exc
    return answer if isinstance(answer, dict) else {}


def session_plist(x) -> bytes:
    common = {
        "deviceID": x.device_id,
        "macAddress": x.device_id,
        "sessionUUID": str(uuid.uuid4()).upper(),
        "groupContainsGroupLeader": False,
        "name": x.name,
        "model": "iPhone14,3",
    }
    if x.timing == protocol_choice.NTP:
        return binary_plist.encode({
            **common,
            "timingProtocol": "NTP",
            "timingPort": x.udp.timing_port,
            "isMultiSelectAirPlay": True,
            "osName": "iPhone OS",
            "osVersion": "17.0",
            "osBuildVersion": "21A329",
            "sourceVersion": "690.7.1",
            "senderSupportsRelay": False,
            "statsCollectionEnabled": False,
        })
    peer = {
        "Addresses": [x.local],
        "ID": str(uuid.uuid4()).upper(),
        "ClockID": binary_plist.clock_id_to_plist(x.local_clock.clock_id),
        "DeviceType": 0,
        "SupportsClockPortMatchingOverride": False,
    }
    return binary_plist.encode({
        **common,
        "timingProtocol": "PTP",
        "groupUUID": str(uuid.uuid4()).upper(),
        "timingPeerInfo": peer,
        "timingPeerList": [peer],
    })


def read_session_reply(x, reply) -> None:
    answer = _plist(reply)
    x.event_port = n.port(answer["eventPort"]) if answer.get("eventPort") not in (None, 0) else None
    peer = answer.get("timingPeerInfo")
    if isinstance(peer, dict) and "ClockID" in peer:
        x.receiver_clock = n.whole(peer["ClockID"]) & 0xFFFFFFFFFFFFFFFF


def read_record_reply(x, reply) -> None:
    if x.timing != protocol_choice.NTP:
        x.latency = PTP_LATENCY_FRAMES / s.SAMPLE_RATE
        return
    value = reply.headers.get("Audio-Latency")
    frames = n.whole(n.digits(value), 0, 10 * s.SAMPLE_RATE) if value is not None else NTP_RECEIVER_OFFSET_FRAMES
    x.latency = (NTP_LATENCY_FRAMES + frames) / s.SAMPLE_RATE


def stream_plist(x) -> bytes:
    return binary_plist.encode({"streams": [{
        "type": 96, "ct": 2, "audioFormat": 0x40000, "spf": s.FRAMES_PER_PACKET, "sr": s.SAMPLE_RATE,
        "shk": x.audio_key, "latencyMin": 11025, "latencyMax": 88200,
        "controlPort": x.udp.control_port, "audioMode": "default", "isMedia": True,
        "supportsDynamicStreamID": False, "streamConnectionID": x.session_id,
    }]})


def read_stream_reply(x, reply) -> None:
    """Read by key: receivers do not agree on the order of the port fields."""
    streams = _plist(reply).get("streams")
    if not isinstance(streams, list) or not streams or not isinstance(streams[0], dict):
        raise n.Malformed("stream reply without a stream")
    stream = streams[0]
    if "dataPort" not in stream or "controlPort" not in stream:
        raise n.Malformed("stream reply lacks its ports")
    x.data_port, x.control_port = n.port(stream["dataPort"]), n.port(stream["controlPort"])
    x.render_latency_ms = n.milliseconds(stream.get("arrivalToRenderLatencyMs", 0))


def peer_list(x) -> bytes:
    """The receiver, the others that follow our clock (one group on one clock), and us: what it was told last."""
    others = [a for a in x.clock_hub.led() if a != x.remote] if x.timing == protocol_choice.PTP_MASTER else []
    x.peers_told = binary_plist.encode([x.remote, *others, x.local])
    return x.peers_told


PLIST = binary_plist.CONTENT_TYPE

STEPS = (
    n.Step("SETUP", request=lambda x: ({}, session_plist(x), PLIST), check=read_session_reply),
    n.Step("RECORD", check=read_record_reply),
    n.Step("SETPEERS", request=lambda x: ({}, peer_list(x), "/peer-list-changed"),
           applies=lambda x: x.timing != protocol_choice.NTP),
    n.Step("SETUP", request=lambda x: ({}, stream_plist(x), PLIST), check=read_stream_reply),
)
