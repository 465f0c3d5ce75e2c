"""The two privileged gPTP ports (319 event, 320 general): from the clock helper, or bound directly when
this process may (root, or a lowered unprivileged port start). When neither works, ``why_unavailable`` says
why in the user's words: another program holds the ports, or the helper is missing or lacks its capability."""

import logging
import os
import select
import socket
import subprocess
import time
from typing import List, NamedTuple, Optional

from .. import session as s
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
        deadline = time.monotonic() + HELPER_WAIT
        while not select.select([parent], [], [], 0.05)[0] and time.monotonic() < deadline:
            if s.STOP.is_set():
                process.kill()
                process.wait()
                raise s.Stopped("waiting for the clock helper")
        parent.settimeout(0.05)
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


def _bind_directly(local_address: Optional[str]) -> Optional[ClockSockets]:
    bound = []
    try:
        for port in (messages.EVENT_PORT, messages.GENERAL_PORT):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            bound.append(sock)
            sock.bind((local_address or "0.0.0.0", port))
    except OSError as exc:
        log.info("cannot bind the PTP ports 319/320 ourselves: %s", exc)
        for sock in bound:
            sock.close()
        return None
    return ClockSockets(*bound)


PORTS_IN_USE = "这两个端口正被本机另一个程序占用（例如 nqptp 或另一个 AirPlay 发送程序），请先退出它"
HELPER_MISSING = ("本机没有安装时钟辅助程序 sonvale-ptp-helper：请以 root 身份重新安装 Sonvale"
                  "（sudo cmake --install，或安装 Debian 软件包）")
HELPER_WITHOUT_CAPABILITY = ("时钟辅助程序 sonvale-ptp-helper 没有绑定这两个端口的权限（cap_net_bind_service）："
                             "请以 root 身份重新安装 Sonvale")
HELPER_FAILED = "时钟辅助程序 sonvale-ptp-helper 没能打开这两个端口（原因见 Sonvale-sender.log）"


def ports_in_use(tables=("/proc/net/udp", "/proc/net/udp6"), local_address: Optional[str] = None) -> bool:
    """Whether a socket on this host is bound to UDP 319 or 320 where it keeps them from ``local_address`` (the
    kernel's tables, hex ports): on any address, on that one, or on IPv6. One bound to another IPv4 address (our
    own pair facing other speakers) does not."""
    wanted = socket.inet_aton(local_address)[::-1].hex().upper() if local_address else None
    for table in tables:
        try:
            with open(table) as f:
                rows = [row.split() for row in f.read().splitlines()[1:]]
        except OSError:
            continue
        for row in rows:
            address, _, port = row[1].rpartition(":") if len(row) > 1 else ("", "", "")
            if port in ("013F", "0140") and (wanted is None or len(address) != 8 or address in (wanted, "00000000")):
                return True
    return False


def _has_capability(path: str) -> bool:
    try:
        return bool(os.getxattr(path, "security.capability"))
    except OSError:
        return False


def why_unavailable(local_address: Optional[str] = None) -> str:
    """Why the PTP ports on ``local_address`` could not be had, as the end of a sentence shown to the user; logged
    in English too."""
    helpers = [path for path in helper_candidates() if os.access(path, os.X_OK)]
    if ports_in_use(local_address=local_address):
        reason, text = "another program holds UDP 319/320", PORTS_IN_USE
    elif not helpers:
        reason, text = "the clock helper %s is not installed (looked in %s)" % (
            HELPER_NAME, ", ".join(helper_candidates())), HELPER_MISSING
    elif not any(_has_capability(path) for path in helpers):
        reason, text = "the clock helper %s lacks cap_net_bind_service" % helpers[0], HELPER_WITHOUT_CAPABILITY
    else:
        reason, text = "the clock helper %s failed" % helpers[0], HELPER_FAILED
    log.warning("PTP ports 319/320 unavailable: %s", reason)
    return text


def open_clock_sockets(local_address: Optional[str]) -> Optional[ClockSockets]:
    """The ports on ``local_address`` (the address facing a speaker; any address when None), as the helper
    binds them: a pair per address, so speakers behind different local addresses each get theirs."""
    for path in helper_candidates() if local_address else []:
        if os.access(path, os.X_OK):
            sockets = from_helper(path, local_address)
            if sockets is not None:
                log.info("PTP ports 319/320 on %s from %s", local_address, path)
                return sockets
    return _bind_directly(local_address)
