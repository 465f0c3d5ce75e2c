#!/usr/bin/python3
"""What one wake-up of the worker costs on this machine, apart from the sound path around it.

  /usr/bin/python3 -B scripts/bench-wake-cost.py [SECONDS]

1. The worker's own work per write of the application (1024 frames, 43 a second): the real streamer, input,
   ALAC framing and RTP stream, sending to a local UDP socket nobody reads, on a simulated clock, back to back.
2. The machine's floor for the same rhythm: a paced writer puts 4 KB into a pipe every 23.2 ms; a reader process
   selects and reads it (the worker's shape with no work), then the same reader also sending three 1424-byte
   datagrams per wake-up to a third process that receives them (a receiver on this machine).
"""

import array
import math
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "vendor"))
from pyatv.pcm_input import PcmInput  # noqa: E402
from pyatv.streamer import Streamer  # noqa: E402
from pyatv.streaming import rtp  # noqa: E402
from pyatv.streaming.audio_stream import AudioStream, NtpSync  # noqa: E402
from pyatv.streaming.udp import UdpServices  # noqa: E402

FRAGMENT = 1024 / 44100
TICKS = os.sysconf("SC_CLK_TCK")


def worker_work(wakes: int) -> None:
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    port = sink.getsockname()[1]
    ntp = rtp.NtpClock()
    stream = AudioStream(1, 0, 0)
    stream.open("127.0.0.1", port, UdpServices("127.0.0.1", ntp, stream.backlog), port, NtpSync(ntp, 11025))
    tone = array.array("h", [int(8000 * math.sin(i * 0.1)) for i in range(2048)]).tobytes()
    now = [0.0]
    source = PcmInput(None, clock=lambda: now[0])

    class Session:
        latency = 2.0
        connect = close = lambda self: None
        poll = lambda self, at: None
        clock_rate = lambda self: 1.0
        send = lambda self, pcm, when: stream.send(pcm, when)

    def wait_input(_: float) -> None:  # the application's next write arrives
        if round(now[0] / FRAGMENT) >= wakes:
            source.eof = True
            return
        now[0] += FRAGMENT
        source.feed(tone)

    nothing = type("Reporter", (), {"__getattr__": lambda self, name: lambda *a: None})()
    streamer = Streamer(source, Session, nothing, should_stop=lambda: False, clock=lambda: now[0],
                        sleep=lambda _: None, wait_input=wait_input, heartbeat_interval=3600)
    start = time.process_time()
    streamer.run()
    spent = time.process_time() - start
    print("worker's work: %.1f us per write, %d packets; at 43 writes a second %.2f %% of one core"
          % (spent / wakes * 1e6, stream.seq, spent / wakes / FRAGMENT * 100))


def ticks(pid: int) -> int:
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def fork(body) -> int:
    pid = os.fork()
    if pid == 0:
        try:
            body()
        finally:
            os._exit(0)
    return pid


def floor(seconds: float, datagrams: bool) -> None:
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", 0))
    r, w = os.pipe()

    def reader() -> None:
        os.close(w)
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        tx.connect(rx.getsockname())
        packet = bytes(1424)
        while True:
            select.select([r], [], [], 0.05)
            if not os.read(r, 65536):
                return
            for _ in range(3 if datagrams else 0):
                tx.send(packet)

    kids = [fork(reader)] + ([fork(lambda: [rx.recv(2048) for _ in iter(int, 1)])] if datagrams else [])
    os.close(r)
    before = [ticks(k) for k in kids]
    start, n, block = time.monotonic(), 0, bytes(4096)
    while time.monotonic() - start < seconds:
        n += 1
        os.write(w, block)
        time.sleep(max(0.0, start + n * FRAGMENT - time.monotonic()))
    used = [(ticks(k) - b) / TICKS / seconds * 100 for k, b in zip(kids, before)]
    for k in kids:
        os.kill(k, 9)
        os.waitpid(k, 0)
    os.close(w)
    print("floor, reader woken 43 times a second%s: %.2f %%%s" % (
        " sending 3 datagrams each time" if datagrams else "", used[0],
        ", the receiving process %.2f %%" % used[1] if datagrams else ""))


if __name__ == "__main__":
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    worker_work(int(seconds / FRAGMENT))
    floor(seconds, False)
    floor(seconds, True)
