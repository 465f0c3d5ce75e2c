#!/usr/bin/python3
"""The probes of bench-audio-path.sh.

play RATE SECONDS TIMES    a paced libpulse player into the default output: at 44100 Hz a 16-bit -6 dBFS 997 Hz tone
                           whose frame m*22050 is a marker (left 32767, right m); at other rates the same tone in float.
                           Writes "m monotonic-time" of each marker's write to TIMES, and the longest write as "stall".
record SINK FILE           what SINK plays, from its monitor in 10 ms fragments, never moved to another sink.
sniff IFACE TIMES PCM      timestamps every marker in the audio packets leaving on IFACE (ALAC escape frames), and
                           writes their audio to PCM.
analyse SENT_TIMES PACKET_TIMES RECORDING...  lost audio, splices, fidelity and latency from what each output heard.
snr FILE                   signal-to-noise ratio of the 997 Hz tone 3 s before the end of a 44100 Hz s16 recording.
"""
import array, ctypes, math, os, socket, struct, sys, time

RATE, SPACING = 44100, 22050


# 997 whole cycles a second: one second of the tone repeats exactly.
TONE = [round(32768 * 0.501187 * math.sin(2 * math.pi * 997 * i / RATE)) for i in range(RATE)]


def signal(index):  # the 16-bit player's frame at `index`, as (left, right)
    if index % SPACING == 0:
        return 32767, index // SPACING
    return TONE[index % RATE], TONE[index % RATE]


def play(rate, seconds, times_path):
    pulse = ctypes.CDLL("libpulse-simple.so.0")
    pulse.pa_simple_new.restype = ctypes.c_void_p
    pulse.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_int)]
    pulse.pa_simple_get_latency.restype = ctypes.c_uint64
    pulse.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
    s16 = rate == RATE
    sample_format = struct.pack("<iIB", 3 if s16 else 5, rate, 2)  # PA_SAMPLE_S16LE / FLOAT32LE
    chunk = rate // 100
    # 200 ms of buffer, so that a busy machine never starves the player; markers are timed when the server plays
    # them (the write plus the stream's latency then).
    attr = struct.pack("<5I", 0xFFFFFFFF, chunk * (4 if s16 else 8) * 20, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
    cycle = [math.sin(2 * math.pi * 997 * i / rate) * 0.501187 for i in range(rate)]
    error = ctypes.c_int()
    handle = pulse.pa_simple_new(None, b"bench", 1, None, b"marker tone", sample_format, None, attr, ctypes.byref(error))
    if not handle:
        sys.exit("play: no stream (%d)" % error.value)
    out, stall = open(times_path, "w"), 0.0
    for at in range(0, int(seconds * rate), chunk):
        if s16:
            frames = array.array("h", [x for i in range(at, at + chunk) for x in signal(i)])
        else:
            frames = array.array("f", [cycle[i % rate] for i in range(at, at + chunk) for _ in (0, 1)])
        data = frames.tobytes()
        before = time.monotonic()
        pulse.pa_simple_write(handle, data, len(data), ctypes.byref(error))
        after = time.monotonic()
        stall = max(stall, after - before)
        if s16 and at % SPACING == 0:
            due = after + pulse.pa_simple_get_latency(handle, ctypes.byref(error)) / 1e6
            print(at // SPACING, before, due, file=out, flush=True)
    print("stall", stall, file=out, flush=True)


def record(sink, path):
    pulse = ctypes.CDLL("libpulse.so.0")
    for name in ("pa_mainloop_new", "pa_mainloop_get_api", "pa_context_new", "pa_stream_new"):
        getattr(pulse, name).restype = ctypes.c_void_p
    pulse.pa_mainloop_get_api.argtypes = [ctypes.c_void_p]
    pulse.pa_context_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    pulse.pa_stream_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p]
    for name in ("pa_context_connect", "pa_context_get_state", "pa_mainloop_iterate", "pa_stream_connect_record",
                 "pa_stream_get_state", "pa_stream_peek", "pa_stream_drop"):
        getattr(pulse, name).argtypes = None
    loop = ctypes.c_void_p(pulse.pa_mainloop_new())
    context = ctypes.c_void_p(pulse.pa_context_new(ctypes.c_void_p(pulse.pa_mainloop_get_api(loop)), b"bench"))
    pulse.pa_context_connect(context, None, 0, None)
    while pulse.pa_context_get_state(context) not in (4, 5, 6):
        pulse.pa_mainloop_iterate(loop, 1, None)
    stream = ctypes.c_void_p(pulse.pa_stream_new(context, b"bench recorder", struct.pack("<iIB", 3, RATE, 2), None))
    attr = struct.pack("<5I", 0xFFFFFFFF, 0, 0, 0, RATE * 4 * int(os.environ.get("PROBE_FRAGMENT_MS", "10")) // 1000)
    pulse.pa_stream_connect_record(stream, (sink + ".monitor").encode(), attr, 0x200 | 0x2000)  # DONT_MOVE, ADJUST_LATENCY
    out, data, size = open(path, "wb"), ctypes.c_void_p(), ctypes.c_size_t()
    while pulse.pa_stream_get_state(stream) in (1, 2):  # creating, ready
        pulse.pa_mainloop_iterate(loop, 1, None)
        while pulse.pa_stream_peek(stream, ctypes.byref(data), ctypes.byref(size)) == 0 and size.value:
            out.write(ctypes.string_at(data, size.value) if data.value else bytes(size.value))
            pulse.pa_stream_drop(stream)
        out.flush()


def sniff(iface, times_path, pcm_path):
    """Timestamps the markers in the audio packets leaving on IFACE and keeps their audio, in the order sent.

    Each packet carries the kernel's time of its passing the interface (SO_TIMESTAMPNS). The queue is drained every
    50 ms rather than waited on: a reader waiting on the socket would be woken by every packet, and the sender pays
    for that wake-up (it runs in the sender's system call), which the benchmark would then count as the worker's."""
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))  # ETH_P_ALL: outgoing ones too
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    raw.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS: a CLOCK_REALTIME stamp in each message
    raw.bind((iface, 0))
    raw.setblocking(False)
    to_monotonic = time.monotonic() - time.time()
    out, pcm = open(times_path, "w"), open(pcm_path, "wb")
    while True:
        time.sleep(0.05)
        while True:
            try:
                frame, ancillary, _, _ = raw.recvmsg(4096, 64)
            except BlockingIOError:
                break
            seconds, nanoseconds = struct.unpack("qq", ancillary[0][2][:16]) if ancillary else (time.time(), 0)
            when = seconds + nanoseconds / 1e9 + to_monotonic
            ip = frame[14:]
            if frame[12:14] != b"\x08\x00" or len(ip) < 40 or ip[9] != 17:
                continue
            payload = ip[(ip[0] & 15) * 4 + 8:]
            if len(payload) < 12 + 1412 or payload[1] & 0x7F != 0x60:
                continue
            # A full ALAC escape frame: 23 header bits, then 352 frames of big-endian left and right samples.
            bits = (len(payload) - 12) * 8
            value = (int.from_bytes(payload[12:], "big") >> (bits - 23 - 352 * 32)) & ((1 << (352 * 32)) - 1)
            samples = array.array("h", value.to_bytes(352 * 4, "big"))
            samples.byteswap()
            pcm.write(samples.tobytes())
            for f in range(352):
                if samples[2 * f] == 32767:
                    print(samples[2 * f + 1], when, file=out, flush=True)


def runs(path):
    """Each stretch of marked audio in a recording: (first index, last index, splices, exact, compared)."""
    pcm = array.array("h", open(path, "rb").read()[: (1 << 31) & ~3])
    n = len(pcm) // 2
    markers = [(q, pcm[2 * q + 1]) for q in range(n) if pcm[2 * q] == 32767]
    result, begin = [], 0
    while begin < len(markers):
        end = begin
        while end + 1 < len(markers) and markers[end + 1][0] - markers[end][0] < 3 * SPACING and abs(
                markers[end + 1][0] - markers[end][0] - SPACING * (markers[end + 1][1] - markers[end][1])) < SPACING:
            end += 1
        p0, m0 = markers[begin]
        p1, m1 = markers[end]
        # The frames next to the outer markers belong to the stretch as long as they are the player's own.
        a = p0
        while a > 0 and (pcm[2 * a - 2], pcm[2 * a - 1]) == signal(m0 * SPACING - (p0 - a) - 1):
            a -= 1
        b = p1
        while b + 1 < n and (pcm[2 * b + 2], pcm[2 * b + 3]) == signal(m1 * SPACING + (b - p1) + 1):
            b += 1
        splices = sum(abs((markers[j + 1][0] - markers[j][0]) - SPACING * (markers[j + 1][1] - markers[j][1]))
                      for j in range(begin, end))
        exact = compared = 0
        for j in range(begin, end):  # bit-exactness between markers that are one spacing apart
            q, m = markers[j]
            if markers[j + 1][0] - q == SPACING:
                for k in range(0, SPACING, 7):
                    compared += 1
                    exact += (pcm[2 * (q + k)], pcm[2 * (q + k) + 1]) == signal(m * SPACING + k)
        result.append((m0 * SPACING - (p0 - a), m1 * SPACING + (b - p1), splices, exact, compared))
        begin = end + 1
    return result


def analyse(sent_path, packets_path, recordings):
    sent = {}
    for line in open(sent_path):
        key, *value = line.split()
        if key != "stall":
            sent[int(key)] = [float(v) for v in value]
        else:
            print("player's longest write: %.0f ms" % (float(value[0]) * 1000))
    heard = []
    for path in recordings:
        for first, last, splices, exact, compared in runs(path):
            heard.append((first, last))
            name = path.rsplit("/", 1)[-1]
            fidelity = "bit-exact" if exact == compared else "%d of %d sampled frames exact" % (exact, compared)
            print("%s: %.2f-%.2f s heard, %d frames spliced, %s" % (name, first / RATE, last / RATE, splices,
                                                                  fidelity if compared else "not compared"))
    heard.sort()
    lost, reach = [], None
    for first, last in heard:
        if reach is not None and first > reach + 1:
            lost.append((reach, first))
        reach = last if reach is None else max(reach, last)
    for a, b in lost:
        print("lost at %.2f s: %.1f ms never heard anywhere" % (a / RATE, (b - a - 1) * 1000 / RATE))
    if not lost:
        print("lost: nothing between the first and the last frame heard")
    for column, what in (0, "player's write"), (1, "player's audio due at the output (write + stream latency)"):
        delays = sorted(float(when) - sent[int(m)][column] for m, when in (line.split() for line in open(packets_path))
                        if int(m) in sent)
        if delays:
            print("latency from the %s to the packet leaving: median %.1f ms, 95th %.1f ms, max %.1f ms (%d markers)" % (
                what, 1000 * delays[len(delays) // 2], 1000 * delays[int(len(delays) * 0.95)], 1000 * delays[-1],
                len(delays)))


def snr(path):
    pcm = array.array("h", open(path, "rb").read())
    left = pcm[0::2]
    loud = [i for i in range(0, len(left), 4410) if max(abs(v) for v in left[i:i + 4410]) > 10000]
    if len(loud) < 12:
        print("SNR: no tone")
        return
    seg = left[loud[-30]:loud[-30] + 44100]
    w = 2 * math.pi * 997 / RATE
    c = [math.cos(w * k) for k in range(len(seg))]
    s = [math.sin(w * k) for k in range(len(seg))]
    a = 2 * sum(x * y for x, y in zip(seg, c)) / len(seg)
    b = 2 * sum(x * y for x, y in zip(seg, s)) / len(seg)
    noise = sum((x - a * y - b * z) ** 2 for x, y, z in zip(seg, c, s)) / len(seg)
    print("SNR of a 48 kHz player: %.1f dB" % (10 * math.log10((a * a + b * b) / 2 / max(noise, 1e-9))))


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "play":
        play(int(args[0]), float(args[1]), args[2])
    elif mode == "record":
        record(args[0], args[1])
    elif mode == "sniff":
        sniff(args[0], args[1], args[2])
    elif mode == "analyse":
        analyse(args[0], args[1], args[2:])
    else:
        snr(args[0])
