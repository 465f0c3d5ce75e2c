"""The JSON state lines the application reads from our standard output."""

from __future__ import annotations

import json
import os
import threading


class Reporter:
    """Writes one JSON object per line to a file descriptor (standard output).

    Thread-safe. A reader that went away (broken pipe) is remembered in ``broken`` and
    later lines are dropped; the streamer treats that like a request to stop.
    """

    def __init__(self, fd: int = 1) -> None:
        self._fd = fd
        self._lock = threading.Lock()
        self.broken = False

    def _emit(self, obj: dict) -> None:
        line = (json.dumps(obj, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            if self.broken:
                return
            try:
                view = memoryview(line)
                while view:
                    view = view[os.write(self._fd, view):]
            except OSError:
                self.broken = True

    def ready(self) -> None:
        self._emit({"state": "ready"})

    def playing(self) -> None:
        self._emit({"state": "playing"})

    def streaming(self, bytes_in: int) -> None:
        self._emit({"state": "streaming", "bytes_in": bytes_in})

    def idle(self) -> None:
        self._emit({"state": "idle"})

    def reconnecting(self) -> None:
        self._emit({"state": "reconnecting"})

    def error(self, message: str) -> None:
        self._emit({"state": "error", "message": message})
