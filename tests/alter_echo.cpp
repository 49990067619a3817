// A deliberately wrong echo program for testing ycan-virtual's checker: it
// sends every CAN FD adapter frame back with its identifier changed.
#include <chrono>
#include <thread>

#include "ycan.h"

int main() {
    if (YCAN_OpenDevice(43, 0) != 1) return 3;
    _YCAN_INITFD_CONFIG c{};
    c.FdEnable = 1;
    c.AbitTiming = 0x01400106;
    c.DbitTiming = 0x00800001;
    if (YCAN_InitCANFD(43, 0, 0, &c) != 1) return 4;
    _YCAN_CAN_OBJ classic[16];
    _YCAN_CANFD_OBJ fd[16];
    for (;;) {
        int n = YCAN_Receive(43, 0, 0, classic, 16, 5);
        for (int i = 0; i < n; ++i) classic[i].ID ^= 1;
        if (n > 0) YCAN_Transmit(43, 0, 0, classic, static_cast<uint32_t>(n));
        int m = YCAN_ReceiveFD(43, 0, 0, fd, 16, 5);
        for (int i = 0; i < m; ++i) fd[i].ID ^= 1;
        if (m > 0) YCAN_TransmitFD(43, 0, 0, fd, static_cast<uint32_t>(m));
    }
}
