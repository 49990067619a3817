// CAN FD echo demo: opens the first adapter of device type 43, initialises
// channel 0 for CAN FD at 1 Mbit/s arbitration and 5 Mbit/s data rate, and
// sends every frame it receives straight back on the same channel.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ycan.h"

namespace {

constexpr uint32_t kType = 43;
constexpr uint32_t kIndex = 0;
constexpr uint32_t kChannel = 0;

void exit_can(int) {
    YCAN_CloseDevice(kType, kIndex);
    exit(0);  // NOLINT(concurrency-mt-unsafe): the library stops its own threads at exit
}

void exitHandle() {
    printf("Demo Stop...\n");
    YCAN_CloseDevice(kType, kIndex);
}

template <class Frame>
void printFrame(const Frame& f) {
    printf("ID: %08x DataLen:%02x ExternFlag:%d RemoteFlag: %d data:", f.ID & 0x1FFFFFFF, f.DataLen,
           f.ExternFlag, f.RemoteFlag);
    for (int i = 0; i < f.DataLen; ++i) printf("%02x ", f.Data[i]);
    printf("\n");
}

}  // namespace

int main() {
    _YCAN_INITFD_CONFIG config;
    _YCAN_CAN_OBJ canFrames[32];
    _YCAN_CANFD_OBJ fdFrames[32];

    printf("Demo Start...\n");
    memset(&config, 0, sizeof config);
    atexit(exitHandle);

    if (YCAN_OpenDevice(kType, kIndex) != 1) {
        printf("Device Open Fail...\n");
        exit_can(0);
    }
    config.FdEnable = 1;
    config.OptionB = 0;
    config.AbitTiming = 0x01400106;  // 1 Mbit/s at 60 MHz
    config.DbitTiming = 0x00800001;  // 5 Mbit/s
    config.OptionA = 0;
    if (YCAN_InitCANFD(kType, kIndex, kChannel, &config) != 1) {
        printf("Device Init Fail...\n");
        exit_can(0);
    }
    printf("%s\n", "\r\nDEMO 参数:CAN1 ISO:NONE Baud:<1M,5M> 功能:接收到什么数据就回发什么数据。");

    for (;;) {
        bool idle = true;
        if (YCAN_GetReceiveNum(kType, kIndex, kChannel, 0) != 0) {
            idle = false;
            int n = YCAN_Receive(kType, kIndex, kChannel, canFrames, 32, 50);
            if (n != 0) {
                printf("---can recv:%d\n", n);
                for (int i = 0; i < n; ++i) printFrame(canFrames[i]);
                printf("---can send:%d\n", n);
                for (int i = 0; i < n; ++i) canFrames[i].SendMode = 0;
                YCAN_Transmit(kType, kIndex, kChannel, canFrames, static_cast<uint32_t>(n));
            }
        }
        if (YCAN_GetReceiveNum(kType, kIndex, kChannel, 1) != 0) {
            idle = false;
            int n = YCAN_ReceiveFD(kType, kIndex, kChannel, fdFrames, 32, 50);
            if (n != 0) {
                printf("---fd recv:%d\n", n);
                for (int i = 0; i < n; ++i) printFrame(fdFrames[i]);
                printf("---fd send:%d\n", n);
                for (int i = 0; i < n; ++i) fdFrames[i].SendMode = 0;
                YCAN_TransmitFD(kType, kIndex, kChannel, fdFrames, static_cast<uint32_t>(n));
            }
        }
        // Nothing waiting: a short nap instead of spinning a core on the counts.
        if (idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
