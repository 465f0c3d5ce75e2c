#!/usr/bin/python3
"""What one wake-up of the worker costs on this machine, apart from the sound path around it.

  /usr/bin/python3 -B scripts/bench-wake-cost.py [SECONDS]

1. The worker's own work per write of the application (1024 frames, 43 a second): the real streamer, input,
   ALAC framing and RTP stream, sending to a local UDP socket nobody reads, on a simulated clock, back to back.
2. The machine's floor for the same rhythm: a paced writer puts 4 KB into a pipe every 23.2 ms; a reader process
   selects and reads it (the worker's shape with no work), then the same reader also sending three 1424-byte
   datagrams per wake-up to a third process that receives them (a receiver on this machine).
3. The same rhythm with the real streamer as the reader: the worker's work woken as in life, caches cold.
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
# One write of the application: 1024 frames of a tone, so that the input is never taken for silence.
TONE = array.array("h", [int(8000 * math.sin(i * 0.1)) for i in range(2048)]).tobytes()


def streamer_sending_to(port: int, source: PcmInput, **timing) -> tuple[Streamer, AudioStream]:
    """The real streamer and RTP stream on ``source``, sending to 127.0.0.1:``port``."""
    ntp = rtp.NtpClock()
    stream = AudioStream(1, 0, 0)
    stream.open("127.0.0.1", port, UdpServices("127.0.0.1", ntp, stream.backlog), port, NtpSync(ntp, 11025))

    class Session:
        latency = 2.0
        connect = close = lambda self: None
        poll = lambda self, at: None
        clock_rate = lambda self: 1.0
        send = lambda self, pcm, when: stream.send(pcm, when)

    nothing = type("Reporter", (), {"__getattr__": lambda self, name: lambda *a: None})()
    return Streamer(source, Session, nothing, should_stop=lambda: False, heartbeat_interval=3600, idle_after=3600,
                    **timing), stream


def worker_work(wakes: int) -> None:
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    now = [0.0]
    source = PcmInput(None, clock=lambda: now[0])

    def wait_input(_: float) -> None:  # the application's next write arrives
        if round(now[0] / FRAGMENT) >= wakes:
            source.eof = True
            return
        now[0] += FRAGMENT
        source.feed(TONE)

    streamer, stream = streamer_sending_to(sink.getsockname()[1], source, clock=lambda: now[0],
                                           sleep=lambda _: None, wait_input=wait_input)
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


def floor(seconds: float, kind: str) -> None:
    """``kind``: "bare" (select and read), "datagrams" (and send three), "streamer" (the real streamer)."""
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", 0))
    r, w = os.pipe()

    def reader() -> None:
        os.close(w)
        if kind == "streamer":
            source = PcmInput(r)
            source.start()
            streamer_sending_to(rx.getsockname()[1], source, wait_input=source.wait)[0].run()
            return
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        tx.connect(rx.getsockname())
        packet = bytes(1424)
        while True:
            select.select([r], [], [], 0.05)
            if not os.read(r, 65536):
                return
            for _ in range(3 if kind == "datagrams" else 0):
                tx.send(packet)

    def receiver() -> None:
        os.close(w)
        while True:
            rx.recv(2048)

    kids = [fork(reader)] + ([fork(receiver)] if kind != "bare" else [])
    os.close(r)
    block = TONE if kind == "streamer" else bytes(4096)
    # The streamer's retransmission backlog fills in its first 8 s (new memory, page faults): measured after that.
    settle = 10.0 if kind == "streamer" else 0.5
    start, n, before = time.monotonic(), 0, None
    while time.monotonic() - start < settle + seconds:
        if before is None and time.monotonic() - start >= settle:
            before = [ticks(k) for k in kids]
        n += 1
        os.write(w, block)
        time.sleep(max(0.0, start + n * FRAGMENT - time.monotonic()))
    used = [(ticks(k) - b) / TICKS / seconds * 100 for k, b in zip(kids, before)]
    for k in kids:
        os.kill(k, 9)
        os.waitpid(k, 0)
    os.close(w)
    shape = {"bare": "", "datagrams": " sending 3 datagrams each time",
             "streamer": ": the real streamer sending its packets"}[kind]
    print("%s, reader woken 43 times a second%s: %.2f %%%s" % (
        "floor" if kind != "streamer" else "in the real rhythm", shape, used[0],
        ", the receiving process %.2f %%" % used[1] if len(used) > 1 else ""))


if __name__ == "__main__":
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    worker_work(int(seconds / FRAGMENT))
    for kind in ("bare", "datagrams", "streamer"):
        floor(seconds, kind)
