"""The two privileged gPTP ports (319 event, 320 general): from the clock helper, or bound directly when
this process may (root, or a lowered unprivileged port start)."""

import logging
import os
import socket
import subprocess
from typing import List, NamedTuple, Optional

from . import messages

log = logging.getLogger(__name__)

HELPER_NAME = "sonvale-ptp-helper"
HELPER_WAIT = 3.0


class ClockSockets(NamedTuple):
    event: socket.socket
    general: socket.socket

    def close(self) -> None:
        self.event.close()
        self.general.close()


def helper_candidates() -> List[str]:
    """The helper sits in libexec/sonvale beside the share/sonvale/vendor directory, in the build tree too."""
    vendor = os.environ.get("SONVALE_VENDOR") or os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    prefix = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(vendor))))
    return [os.path.join(prefix, "libexec", "sonvale", HELPER_NAME),
            os.path.join("/usr/libexec/sonvale", HELPER_NAME),
            os.path.join("/usr/local/libexec/sonvale", HELPER_NAME)]


def facing_address(speaker_address: str) -> Optional[str]:
    """The local IPv4 address the route to the speaker leaves from: the only one the helper binds."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.connect((speaker_address, messages.GENERAL_PORT))
            return probe.getsockname()[0]
    except OSError:
        return None


def from_helper(path: str, local_address: str) -> Optional[ClockSockets]:
    parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        try:
            process = subprocess.Popen([path, str(child.fileno()), local_address], pass_fds=[child.fileno()],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        except OSError as exc:
            log.info("clock helper %s not started: %s", path, exc)
            return None
        child.close()
        parent.settimeout(HELPER_WAIT)
        try:
            message, fds, _, _ = socket.recv_fds(parent, 1, 2)
        except OSError as exc:
            log.warning("clock helper gave no sockets: %s", exc)
            message, fds = b"", []
        try:
            process.wait(HELPER_WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        if message != b"K" or len(fds) != 2:
            for fd in fds:
                os.close(fd)
            log.warning("clock helper %s could not bind the PTP ports (exit %s)", path, process.returncode)
            return None
        return ClockSockets(socket.socket(fileno=fds[0]), socket.socket(fileno=fds[1]))
    finally:
        parent.close()
        child.close()


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


def open_clock_sockets(speaker_address: str) -> Optional[ClockSockets]:
    local_address = facing_address(speaker_address)
    for path in helper_candidates() if local_address else []:
        if os.access(path, os.X_OK):
            sockets = from_helper(path, local_address)
            if sockets is not None:
                log.info("PTP ports 319/320 on %s from %s", local_address, path)
                return sockets
    return _bind_directly()
