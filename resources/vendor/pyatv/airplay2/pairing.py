"""Transient HAP pair-setup (M1–M4) over the plain RTSP connection; the session secret is SRP's K.

A wrong PIN does not show in the RTSP status: M4 comes back 200 with an error item, so every reply's TLV
error is checked, and so is the server's proof.
"""

import logging

from .. import session as s
from ..rtsp import RtspClient
from . import srp, tlv8

log = logging.getLogger(__name__)

USERNAME = b"Pair-Setup"
TRANSIENT_PIN = b"3939"
FLAG_TRANSIENT = 0x10
HEADERS = {"X-Apple-HKP": "4"}
CONTENT_TYPE = "application/octet-stream"


def _post(rtsp: RtspClient, items, step: str):
    reply = rtsp.request("POST", "/pair-setup", HEADERS, tlv8.encode(items), CONTENT_TYPE)
    if reply.status in (401, 403, 470):
        raise s.PairingRequired("pair-setup %s answered %d" % (step, reply.status), status=reply.status)
    if reply.status == 453:
        raise s.SpeakerBusy("pair-setup %s answered 453" % step)
    if reply.status != 200:
        raise s.ProtocolError("pair-setup %s answered %d" % (step, reply.status), status=reply.status)
    try:
        answer = tlv8.decode(reply.body)
    except tlv8.TlvError as exc:
        raise s.ProtocolError("pair-setup %s: %s" % (step, exc), status="pair-setup") from exc
    if tlv8.ERROR in answer:
        code = answer[tlv8.ERROR][0] if answer[tlv8.ERROR] else 1
        name = tlv8.ERROR_NAMES.get(code, str(code))
        if code == 7:
            raise s.SpeakerBusy("pair-setup %s: receiver busy" % step)
        raise s.PairingRequired("pair-setup %s refused: %s" % (step, name), status=name)
    return answer


def pair_transient(rtsp: RtspClient, client: srp.SrpClient = None) -> bytes:
    """Runs M1–M4 and returns the 64-byte shared secret."""
    client = client or srp.SrpClient(USERNAME, TRANSIENT_PIN)
    m2 = _post(rtsp, [(tlv8.METHOD, b"\x00"), (tlv8.STATE, b"\x01"), (tlv8.FLAGS, bytes((FLAG_TRANSIENT,)))], "M1")
    try:
        salt, server_public = m2[tlv8.SALT], m2[tlv8.PUBLIC_KEY]
    except KeyError:
        raise s.ProtocolError("pair-setup M2 lacks salt or key", status="pair-setup") from None
    try:
        proof = client.process_challenge(salt, server_public)
    except srp.SrpError as exc:
        raise s.ProtocolError("pair-setup M2: %s" % exc, status="pair-setup") from exc
    m4 = _post(rtsp, [(tlv8.STATE, b"\x03"), (tlv8.PUBLIC_KEY, client.public_bytes), (tlv8.PROOF, proof)], "M3")
    try:
        client.verify_server(m4.get(tlv8.PROOF, b""))
    except srp.SrpError as exc:
        raise s.PairingRequired("pair-setup M4: %s" % exc, status="M4") from exc
    log.info("transient pairing done")
    return client.session_key
