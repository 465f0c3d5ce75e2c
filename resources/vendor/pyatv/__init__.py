"""Sonvale's own AirPlay sender package.

This is not the pyatv project from PyPI: it is this application's code, kept under the
package name the application bundle layout expects ("vendor/pyatv"). It streams live
44100 Hz 16-bit stereo PCM to an AirPlay speaker and reports progress as JSON lines.

Modules, by concern:
  contract   JSON state lines on standard output
  pcm_input  standard input, held from the first sound while no session streams; silence detection
  discovery  finding speakers over mDNS, told apart by device id; the listing
  rtsp       a small RTSP/1.0 client
  negotiation  RTSP steps as data, and reading reply fields that may be malformed
  session    the abstract playback session, its exception types, the stop flag
  occupancy  yielding to another sender that holds the speaker
  streamer   the protocol-neutral streaming loop (states, idle, reconnect)
  pacing     the packet schedule and the input level held against it, one frame at a time
  streaming  RTP, time packets, ALAC, the UDP timing and control ports: the core both protocols share
  errors     one Chinese message per failure cause
  raop       the AirPlay 1 (RAOP) session
  airplay2   the AirPlay 2 session: pairing, steps, control and event channels, timing, protocol choice
  app        wiring for sender.py
"""
