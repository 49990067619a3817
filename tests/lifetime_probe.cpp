// A program that loads libycan.so with dlopen, as plug-in hosts do, and
// leaves it while other threads are inside the library:
//   lifetime_probe exit LIB TYPE          returns from main (process exit)
//                                          with a receiver waiting and a
//                                          transmitter sending
//   lifetime_probe dlclose LIB TYPE N     N times: load, open, wait and
//                                          transmit, dlclose; prints the
//                                          heap growth per cycle
// It prints what it did; the test that runs it checks that it ends
// promptly and cleanly.
#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ycan.h"

namespace {

struct Api {
    void* lib = nullptr;
    int (*open)(uint32_t, uint32_t) = nullptr;
    int (*initCan)(uint32_t, uint32_t, uint32_t, _YCAN_INIT_CONFIG*) = nullptr;
    int (*initCanFd)(uint32_t, uint32_t, uint32_t, _YCAN_INITFD_CONFIG*) = nullptr;
    int (*transmit)(uint32_t, uint32_t, uint32_t, _YCAN_CAN_OBJ*, uint32_t) = nullptr;
    int (*receive)(uint32_t, uint32_t, uint32_t, _YCAN_CAN_OBJ*, uint32_t, int) = nullptr;
    int (*lastError)() = nullptr;

    bool load(const char* path) {
        lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            printf("probe: dlopen: %s\n", dlerror());
            return false;
        }
        open = reinterpret_cast<decltype(open)>(dlsym(lib, "YCAN_OpenDevice"));
        initCan = reinterpret_cast<decltype(initCan)>(dlsym(lib, "YCAN_InitCAN"));
        initCanFd = reinterpret_cast<decltype(initCanFd)>(dlsym(lib, "YCAN_InitCANFD"));
        transmit = reinterpret_cast<decltype(transmit)>(dlsym(lib, "YCAN_Transmit"));
        receive = reinterpret_cast<decltype(receive)>(dlsym(lib, "YCAN_Receive"));
        lastError = reinterpret_cast<decltype(lastError)>(dlsym(lib, "YCAN_GetLastError"));
        return open && initCan && initCanFd && transmit && receive && lastError;
    }
};

bool openAndInit(Api& api, uint32_t type) {
    if (api.open(type, 0) != 1) {
        printf("probe: open failed, last error %d\n", api.lastError());
        return false;
    }
    if (type == 3 || type == 4) {
        _YCAN_INIT_CONFIG c{};
        c.BusTiming1 = 0x14;
        return api.initCan(type, 0, 0, &c) == 1;
    }
    _YCAN_INITFD_CONFIG c{};
    c.AbitBaudRate = 1000000;
    c.DbitBaudRate = 5000000;
    c.FdEnable = 1;
    return api.initCanFd(type, 0, 0, &c) == 1;
}

// A receiver waiting without limit and a transmitter sending until told.
struct Traffic {
    std::atomic<bool> stop{false};
    std::atomic<int> received{-100};
    std::thread receiver, transmitter;

    void begin(Api& api, uint32_t type) {
        receiver = std::thread([&api, type, this] {
            _YCAN_CAN_OBJ f[4];
            received = api.receive(type, 0, 1, f, 4, -1);  // channel 1: nothing comes
        });
        transmitter = std::thread([&api, type, this] {
            _YCAN_CAN_OBJ f{};
            f.ID = 0x42;
            f.DataLen = 8;
            while (!stop.load()) api.transmit(type, 0, 0, &f, 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
};

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 4) {
        printf("usage: lifetime_probe exit|dlclose LIB TYPE [CYCLES]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const uint32_t type = static_cast<uint32_t>(std::atoi(argv[3]));

    if (mode == "exit") {
        static Api api;
        static Traffic traffic;  // its threads are still running at exit
        if (!api.load(argv[2]) || !openAndInit(api, type)) return 2;
        traffic.begin(api, type);
        traffic.receiver.detach();
        traffic.transmitter.detach();
        printf("probe: exiting with a receiver waiting and a transmitter sending\n");
        return 0;
    }

    if (mode == "bare") {  // load and unload only: what the loader itself keeps
        const int cycles = argc > 4 ? std::atoi(argv[4]) : 5;
        size_t afterFirst = 0;
        for (int i = 0; i < cycles; ++i) {
            Api api;
            if (!api.load(argv[2])) return 2;
            api.lastError();
            dlclose(api.lib);
            if (i == 0) afterFirst = mallinfo2().uordblks;
        }
        printf("probe: heap growth per cycle: %ld bytes\n",
               (static_cast<long>(mallinfo2().uordblks) - static_cast<long>(afterFirst)) / (cycles - 1));
        return 0;
    }

    if (mode == "dlclose") {
        const int cycles = argc > 4 ? std::atoi(argv[4]) : 5;
        size_t afterFirst = 0;
        for (int i = 0; i < cycles; ++i) {
            Api api;
            if (!api.load(argv[2]) || !openAndInit(api, type)) return 2;
            Traffic traffic;
            traffic.begin(api, type);
            traffic.stop = true;
            const auto t0 = std::chrono::steady_clock::now();
            dlclose(api.lib);
            traffic.receiver.join();
            traffic.transmitter.join();
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (traffic.received.load() != 0) {
                printf("probe: the waiting receiver returned %d\n", traffic.received.load());
                return 3;
            }
            printf("probe: cycle %d: dlclose with threads inside took %.1f ms\n", i, ms);
            if (i == 0) afterFirst = mallinfo2().uordblks;
        }
        const size_t last = mallinfo2().uordblks;
        const long perCycle =
            cycles > 1 ? (static_cast<long>(last) - static_cast<long>(afterFirst)) / (cycles - 1) : 0;
        printf("probe: heap growth per cycle: %ld bytes\n", perCycle);
        return 0;
    }
    printf("probe: unknown mode\n");
    return 2;
}
