"""The JSON state lines the application reads from our standard output."""

from __future__ import annotations

import json
import os
import threading
from typing import Callable, Optional

from .session import STOP


class Reporter:
    """Writes one JSON object per line to a file descriptor (standard output).

    Thread-safe. A reader that went away (broken pipe) is remembered in ``broken`` and
    later lines are dropped; the streamer treats that like a request to stop. Once the worker is asked to stop,
    nothing more is said: the application is ending it and would take any later line for news.
    """

    def __init__(self, fd: int = 1) -> None:
        self._fd = fd
        self._lock = threading.Lock()
        self.broken = False
        # With several speakers: returns the "speakers" list every line carries.
        self.speakers: Optional[Callable[[], list]] = None

    def _emit(self, obj: dict) -> None:
        if self.speakers is not None:
            obj = {**obj, "speakers": self.speakers()}
        # Text that cannot be UTF-8 (a name decoded with surrogates) is replaced, never a reason to lose the line.
        line = (json.dumps(obj, ensure_ascii=False) + "\n").encode("utf-8", "replace")
        with self._lock:
            if self.broken or STOP.is_set():
                return
            try:
                view = memoryview(line)
                while view:
                    view = view[os.write(self._fd, view):]
            except OSError:
                self.broken = True

    def ready(self, latency: Optional[float] = None) -> None:
        """``latency``: seconds from sending a packet to the speaker playing it, as the session negotiated; the
        application uses it for lip sync."""
        self._emit({"state": "ready"} if latency is None else {"state": "ready", "latency_ms": round(latency * 1000)})

    def playing(self) -> None:
        self._emit({"state": "playing"})

    def streaming(self, bytes_in: int) -> None:
        self._emit({"state": "streaming", "bytes_in": bytes_in})

    def idle(self) -> None:
        self._emit({"state": "idle"})

    def reconnecting(self) -> None:
        self._emit({"state": "reconnecting"})

    def busy(self, message: str) -> None:
        """Another sender holds the speaker and we wait for it: ``message`` says so."""
        self._emit({"state": "busy", "message": message})

    def speakers_changed(self) -> None:
        """One speaker's own state changed (several speakers only)."""
        self._emit({"state": "speakers"})

    def error(self, message: str) -> None:
        self._emit({"state": "error", "message": message})
