"""AirPlay 1 (RAOP): RTSP control, RTP audio in ALAC escape frames over UDP, NTP-style timing."""

from .session import RaopSession

__all__ = ["RaopSession"]
