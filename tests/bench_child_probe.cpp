// A small program for the bench's child-process tests: opens the first
// virtual test device through the transport, sends a command, prints the
// reply and exits 0, or prints why not and exits 2.
#include <cstdio>
#include <cstring>

#include "transport/QUserLibUsb.h"

int main() {
    QUserLibUsb usb;
    if (usb.OpenUSBDevice(0x1234, 0x5678, 0) != 1) {
        printf("probe: no device\n");
        return 2;
    }
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
