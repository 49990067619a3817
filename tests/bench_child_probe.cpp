// A small program for the bench's child-process tests. Without arguments:
// opens the first virtual test device through the transport, sends a
// command, prints the reply and exits 0, or prints why not and exits 2.
//   bench_child_probe hold   opens it, says "probe: holding", then reads 0x82
//                            and says how many bytes it has read so far
//                            ("probe: read N bytes") until SIGTERM; exits 0
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "transport/QUserLibUsb.h"

namespace {

std::atomic<bool> stopping{false};

void stop(int) { stopping = true; }

int hold(QUserLibUsb& usb) {
    struct sigaction sa {};
    sa.sa_handler = stop;
    sigaction(SIGTERM, &sa, nullptr);
    printf("probe: holding\n");
    fflush(stdout);
    long total = 0;
    while (!stopping) {
        uint8_t buf[512];
        // Long reads: the probe sits in poll(), not in an ioctl, nearly all
        // the time (the bench cannot see a process killed inside an ioctl go).
        const int n = usb.bulkReadUSBDevice(buf, sizeof buf, 0x82, 1000);
        if (n > 0) {
            total += n;
            printf("probe: read %ld bytes\n", total);
            fflush(stdout);
        } else if (n != -7) {
            printf("probe: read failed %d\n", n);
            fflush(stdout);
            return 2;
        }
    }
    usb.CloseUSBDevice();
    printf("probe: done, read %ld bytes\n", total);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QUserLibUsb usb;
    if (usb.OpenUSBDevice(0x1234, 0x5678, 0) != 1) {
        printf("probe: no device\n");
        return 2;
    }
    if (argc > 1 && strcmp(argv[1], "hold") == 0) return hold(usb);
    uint8_t cmd[5];
    memcpy(cmd, "hello", 5);
    if (usb.WriteUSBDevice(cmd, 5, 0x01, 500) != 5) {
        printf("probe: write failed\n");
        return 2;
    }
    uint8_t reply[64];
    int n = usb.ReadUSBDevice(reply, sizeof reply, 0x81, 2000);
    printf("probe: reply");
    for (int i = 0; i < n; ++i) printf(" %02x", reply[i]);
    printf("\n");
    usb.CloseUSBDevice();
    return n == 5 ? 0 : 2;
}
