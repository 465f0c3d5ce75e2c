"""The streaming core both protocols share: RTP and time packets, ALAC framing, the UDP timing and control
ports, and the per-session audio stream."""
