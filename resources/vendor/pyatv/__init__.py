"""Sonvale's own AirPlay sender package.

This is not the pyatv project from PyPI: it is this application's code, kept under the
package name the application bundle layout expects ("vendor/pyatv"). It streams live
44100 Hz 16-bit stereo PCM to an AirPlay speaker and reports progress as JSON lines.

Modules, by concern:
  contract   JSON state lines on standard output
  pcm_input  standard-input reader thread, bounded buffer, silence detection
  discovery  finding a speaker by name over mDNS
  rtsp       a small RTSP/1.0 client
  session    the abstract playback session and its exception types
  streamer   the protocol-neutral streaming loop (states, idle, reconnect)
  pacing     the real-time packet schedule
  errors     one Chinese message per failure cause
  raop       the AirPlay 1 (RAOP) session
  app        wiring for sender.py
"""
