// Classic CAN echo demo: opens the first adapter of device type 4,
// initialises channel 0 at 1 Mbit/s and sends every frame it receives
// straight back.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ycan.h"

namespace {

constexpr uint32_t kType = 4;
constexpr uint32_t kIndex = 0;
constexpr uint32_t kChannel = 0;

void exit_can(int) {
    YCAN_CloseDevice(kType, kIndex);
    exit(0);  // NOLINT(concurrency-mt-unsafe): the library stops its own threads at exit
}

}  // namespace

int main() {
    _YCAN_INIT_CONFIG config;
    _YCAN_CAN_OBJ frames[10];

    if (YCAN_OpenDevice(kType, kIndex) == 0) exit_can(0);
    memset(&config, 0, sizeof config);
    config.AcceptCode = 0;
    config.AcceptMask = 0xFFFFFFFF;
    config.FilterType = 1;
    config.BusTiming0 = 0x00;  // 1 Mbit/s
    config.BusTiming1 = 0x14;
    config.WorkMode = 0;
    if (YCAN_InitCAN(kType, kIndex, kChannel, &config) != 1) exit_can(0);
    printf("%s\n", "DEMO功能:CAN1波特率1M,接收到什么数据就回发什么数据。");

    for (;;) {
        memset(frames, 0, sizeof frames);
        int n = YCAN_Receive(kType, kIndex, kChannel, frames, 10, 0);
        if (n == 0) {
            usleep(1000);  // nothing arrived: a short nap instead of spinning a core
            continue;
        }
        printf("---recvlen:%d\n", n);
        for (int i = 0; i < n; ++i) {
            printf("ID: %08x DataLen:%02x ExternFlag:%02x RemoteFlag: %02x data:", frames[i].ID,
                   frames[i].DataLen, frames[i].ExternFlag, frames[i].RemoteFlag);
            for (int k = 0; k < frames[i].DataLen; ++k) printf("%02x ", frames[i].Data[k]);
            printf("\n");
        }
        if (n > 0) {
            int r = YCAN_Transmit(kType, kIndex, kChannel, frames, static_cast<uint32_t>(n));
            printf("-----send :%d\n", r);
        }
        usleep(10000);
    }
}
