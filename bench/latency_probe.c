/* Plays silence the way a video player does and prints what the sound server tells it
 * about the delay: pa_stream_get_latency() once a second, as JSON lines.
 *   latency_probe [--device SINK] [--seconds N] [--markers]
 * Without --device the stream follows the default output. With --markers a 30 ms tone
 * starts every third second, and each line also gives "plays_at_ns": when the player is told that
 * tone will be heard (CLOCK_MONOTONIC), for comparing with when it really is. Exit 1 when
 * the server or the stream cannot be reached. */
#include <math.h>
#include <pulse/pulseaudio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const pa_sample_spec format = {PA_SAMPLE_S16LE, 48000, 2};
static const char* device;
static int seconds = 5, elapsed, status = 1, markers, markerDue;
static pa_usec_t playsAt;
static pa_mainloop* loop;
static pa_stream* stream;
static pa_context* context;

static void fill(pa_stream* s, size_t bytes, void* unused) {
    (void)unused;
    void* data = NULL;
    if (pa_stream_begin_write(s, &data, &bytes) < 0 || !data) return;
    memset(data, 0, bytes);
    pa_usec_t latency = 0;
    if (markerDue && pa_stream_get_latency(s, &latency, &(int){0}) == 0) {
        int16_t* frames = data;
        for (size_t i = 0; i < bytes / 4 && i < format.rate * 3 / 100; ++i)
            frames[2 * i] = frames[2 * i + 1] = (int16_t)(16000 * sin(2 * M_PI * 1000 * i / format.rate));
        playsAt = pa_rtclock_now() + latency;
        markerDue = 0;
    }
    pa_stream_write(s, data, bytes, NULL, 0, PA_SEEK_RELATIVE);
}

static void report(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* unused) {
    (void)api, (void)unused, (void)when;
    pa_usec_t latency = 0;
    int negative = 0;
    if (stream && pa_stream_get_state(stream) == PA_STREAM_READY && pa_stream_get_latency(stream, &latency, &negative) == 0) {
        printf("{\"second\":%d,\"latency_ms\":%.1f,\"sink\":\"%s\"", elapsed, negative ? -(double)latency / 1000 : (double)latency / 1000,
               pa_stream_get_device_name(stream));
        if (playsAt) printf(",\"plays_at_ns\":%llu", (unsigned long long)playsAt * 1000);
        printf("}\n");
        playsAt = 0;
        markerDue = markers && elapsed % 3 == 0;
        fflush(stdout);
        status = 0;
    }
    if (++elapsed > seconds) {
        pa_mainloop_quit(loop, status);
        return;
    }
    pa_context_rttime_restart(context, event, pa_rtclock_now() + PA_USEC_PER_SEC);
}

static void connected(pa_context* c, void* unused) {
    (void)unused;
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
        /* A 50 ms target, as browsers and mpv ask for: the reply then comes from the output. */
        const pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)pa_usec_to_bytes(50000, &format), (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
        stream = pa_stream_new(c, "latency probe", &format, NULL);
        pa_stream_set_write_callback(stream, fill, NULL);
        pa_stream_connect_playback(stream, device, &attr,
                                   PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY, NULL, NULL);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        fprintf(stderr, "latency_probe: %s\n", pa_strerror(pa_context_errno(c)));
        pa_mainloop_quit(loop, 1);
        break;
    default:
        break;
    }
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--markers")) markers = 1;
        else if (!strcmp(argv[i], "--device") && i + 1 < argc) device = argv[++i];
        else if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atoi(argv[++i]);
    }
    loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(loop);
    context = pa_context_new(api, "latency probe");
    pa_context_set_state_callback(context, connected, NULL);
    if (pa_context_connect(context, NULL, PA_CONTEXT_NOAUTOSPAWN, NULL) < 0) return 1;
    pa_context_rttime_new(context, pa_rtclock_now() + PA_USEC_PER_SEC, report, NULL);
    int result = 1;
    pa_mainloop_run(loop, &result);
    return result;
}
