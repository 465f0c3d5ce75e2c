"""AirPlay 2 sender: HAP transient pairing, encrypted RTSP and encrypted realtime audio."""
