#!/usr/bin/env python3
"""Writes the test sound: a soft three-note chime, 44100 Hz, stereo, 16-bit PCM WAV.

Usage: gen-test-sound.py <output.wav>

A rising major triad (C6, E6, G6), each note a sine with a quiet octave partial, a 6 ms
attack and an exponential decay; the notes overlap like struck bells. The right channel
lags a few samples behind the left for a little width. The output is the same on every
run, so builds are reproducible.
"""
import math
import struct
import sys
import wave

RATE = 44100
DURATION = 1.6      # seconds
PEAK = 0.5          # about -6 dBFS
NOTES = [           # (start in seconds, frequency in Hz)
    (0.00, 1046.50),
    (0.16, 1318.51),
    (0.32, 1567.98),
]
ATTACK = 0.006
DECAY = 3.2         # per second
FADE_OUT = 0.08     # the last seconds ramp to silence, so the sound ends without a click
RIGHT_DELAY = 12    # samples


def note_sample(t, frequency):
    if t < 0:
        return 0.0
    envelope = min(1.0, t / ATTACK) * math.exp(-DECAY * t)
    tone = math.sin(2 * math.pi * frequency * t) + 0.25 * math.sin(4 * math.pi * frequency * t)
    return envelope * tone


def mono_signal():
    count = int(RATE * DURATION)
    samples = []
    for n in range(count):
        t = n / RATE
        value = sum(note_sample(t - start, frequency) for start, frequency in NOTES)
        remaining = DURATION - t
        if remaining < FADE_OUT:
            value *= remaining / FADE_OUT
        samples.append(value)
    loudest = max(abs(v) for v in samples)
    return [v * PEAK / loudest for v in samples]


def stereo_frames(signal):
    frames = bytearray()
    for n, left in enumerate(signal):
        right = signal[n - RIGHT_DELAY] if n >= RIGHT_DELAY else 0.0
        frames += struct.pack("<hh", round(left * 32767), round(right * 32767))
    return bytes(frames)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with wave.open(argv[1], "wb") as output:
        output.setnchannels(2)
        output.setsampwidth(2)
        output.setframerate(RATE)
        output.writeframes(stereo_frames(mono_signal()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
