"""The two privileged gPTP ports (319 event, 320 general), from the clock helper or bound directly."""

import logging
import socket
from typing import NamedTuple, Optional

from . import messages

log = logging.getLogger(__name__)


class ClockSockets(NamedTuple):
    event: socket.socket
    general: socket.socket

    def close(self) -> None:
        self.event.close()
        self.general.close()


def _bind_directly() -> Optional[ClockSockets]:
    bound = []
    try:
        for port in (messages.EVENT_PORT, messages.GENERAL_PORT):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            bound.append(sock)
            sock.bind(("0.0.0.0", port))
    except OSError as exc:
        log.info("cannot bind the PTP ports 319/320 ourselves: %s", exc)
        for sock in bound:
            sock.close()
        return None
    return ClockSockets(*bound)


def open_clock_sockets() -> Optional[ClockSockets]:
    return _bind_directly()
