// frame_sink: an application that only receives. It opens the first
// adapter of a type, starts channel 0, takes every frame (classic and CAN FD)
// as fast as they come, and says how many it got, how fast, and what CPU
// time the whole process used. For measuring the receive path under
// ycan-virtual:
//
//   ycan-virtual --canfd 43 --inject 150000 --rate 50000 --quiet -- frame_sink 43 150000
//
//   frame_sink TYPE COUNT [QUIET_MS]
// Ends after COUNT frames, or QUIET_MS (default 3000) after the last frame;
// exit status 0 when COUNT frames arrived.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ycan.h"

using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool start(uint32_t type) {
    if (YCAN_OpenDevice(type, 0) != 1) return false;
    if (type == YCAN_TYPE_USBCAN_3 || type == YCAN_TYPE_USBCAN_4) {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.FilterType = 1;
        c.BusTiming1 = 0x14;  // 1 Mbit/s
        return YCAN_InitCAN(type, 0, 0, &c) == 1;
    }
    _YCAN_INITFD_CONFIG c{};
    c.AbitBaudRate = 1000000;
    c.DbitBaudRate = 5000000;
    c.FdEnable = 1;
    return YCAN_InitCANFD(type, 0, 0, &c) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: frame_sink TYPE COUNT [QUIET_MS]\n");
        return 2;
    }
    const auto type = static_cast<uint32_t>(strtoul(argv[1], nullptr, 10));
    const unsigned long want = strtoul(argv[2], nullptr, 10);
    const long quietMs = argc > 3 ? strtol(argv[3], nullptr, 10) : 3000;
    if (!start(type)) {
        fprintf(stderr, "frame_sink: cannot open and start adapter type %u\n", type);
        return 2;
    }
    const bool fdCapable = type != YCAN_TYPE_USBCAN_3 && type != YCAN_TYPE_USBCAN_4;
    static _YCAN_CANFD_OBJ fd[1024];
    static _YCAN_CAN_OBJ classic[1024];
    unsigned long got = 0;
    steady_clock::time_point first{}, last = steady_clock::now();
    while (got < want && steady_clock::now() - last < milliseconds(quietMs)) {
        int n = 0;
        if (fdCapable) n += YCAN_ReceiveFD(type, 0, 0, fd, 1024, 0);
        n += YCAN_Receive(type, 0, 0, classic, 1024, n > 0 ? 0 : 20);
        if (n > 0) {
            if (got == 0) first = steady_clock::now();
            got += static_cast<unsigned long>(n);
            last = steady_clock::now();
        }
    }
    const double span = got > 1 ? duration<double>(last - first).count() : 0;
    const double cpu = processCpuSeconds();
    YCAN_CloseDevice(type, 0);
    printf("frame_sink: received %lu frames in %.3f s (%.0f frames/s), process CPU %.0f ms\n", got, span,
           span > 0 ? static_cast<double>(got) / span : 0.0, cpu * 1000);
    return got == want ? 0 : 1;
}
