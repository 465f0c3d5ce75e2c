"""gPTP (IEEE 802.1AS over UDP) timing for AirPlay 2: grandmaster, follower and the control-port time announces."""
