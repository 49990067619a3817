// Driver object for one USB CAN FD adapter (device types 41-43, 64-67).
//
// The implementation is split by concern:
//   canfd_lifecycle.cpp  type table, open/close, versions, board info,
//                        direct transfer, device function set
//   canfd_command.cpp    the command channel (interrupt exchange, bulk exchange)
//   canfd_config.cpp     bit rates and timing, start/stop, status, filters
//   canfd_keyvalue.cpp   the key/value settings
//   canfd_receive.cpp    receive queues (and the receive thread)
//   canfd_transmit.cpp   transmit path
//
// Locking: cmdLock serialises the application's command exchanges (the
// exchanges of link recovery bypass it); rxLock guards the receive queues.
// faultCheck, linkFault, echoWait and openState are read by the receive
// thread while application threads write them, hence atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>

#include "api/QDevice.h"
#include "support/QUserMutex.h"
#include "transport/QUserLibUsb.h"

// Control block of one driver thread.
struct QUserThreadObj {
    uint8_t exitReq = 0;
    uint8_t exited = 0;
    pthread_mutex_t mutex;
    pthread_t thread = 0;
    bool running = false;
};

class QDeviceUsbCanFd2 : public QDevice {
public:
    static constexpr unsigned kChannels = 8;  // every per-channel array
    static constexpr int kCmdTimeoutMs = 1500;
    static constexpr int kTimingCmdTimeoutMs = 2000;

    QDeviceUsbCanFd2();
    ~QDeviceUsbCanFd2() override;

    // QDevice, in slot order.
    int openDevice(unsigned type, unsigned index, unsigned reserved) override;
    int closeDevice() override;
    int initCAN(unsigned ch, _YCAN_INIT_CONFIG* config) override;
    int initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* config) override;
    int getBoardInf(_YCAN_BOARD_INFO* info) override;
    int isDeviceOnLine() override;
    int transmit(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count) override;
    int transmitFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count) override;
    int receiveFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count, int waitMs) override;
    int receive(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count, int waitMs) override;
    int start(unsigned ch) override;
    int stop(unsigned ch) override;
    int clearBuffer(unsigned ch) override;
    int getReceiveNum(unsigned ch, uint8_t kind) override;
    int transmitData(uint8_t* data, unsigned length) override;
    int setFliter(unsigned ch, _YCAN_FLITER_CONFIG* config) override;

    // Lifecycle and command channel.
    int canGetDeviceVer();
    int isDeviceReady();
    // Interrupt command exchange: writes the request and waits for a reply
    // whose first two bytes match it, writing again after every unmatched
    // read, within timeoutMs. 0 matched (*replyLen holds its length), -1 or
    // -2 failure. bypass: link recovery (no readiness check, no cmdLock).
    int usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                   uint8_t epOut, uint8_t epIn, unsigned timeoutMs, bool bypass);
    int usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                   uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
    // Bulk data exchange: one write, then (while echoes are awaited) wait
    // for the adapter's echo. 0 or -1.
    int usbCmdExtSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                            uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
    // As above but always waits for the echo when timeoutMs is not 0.
    int usbCmdSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                         uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
    // Direct data transfer: request in data, reply written back into it (the
    // buffer must hold 62 bytes). Reply bytes returned, 0 on failure.
    int transmitData(uint8_t* data, unsigned length, bool bypass);
    // Device function set over the secured framing. 0 accepted.
    int canDevFunSet(bool bypass);

    // Channel configuration.
    int initCANFD(unsigned ch, _YCAN_INITFD_CONFIG* config, bool bypass);
    int initCANFDCmdSend(unsigned ch, _YCAN_INITFD_CONFIG* config, bool bypass);
    int canFdBaudInit(uint8_t ch, uint8_t optionB, uint8_t optionA, uint8_t abitClock,
                      uint8_t dbitClock, unsigned abitWord, unsigned dbitWord, bool bypass);
    int aBitTimingGet(unsigned rate, unsigned* word);
    int dBitTimingGet(unsigned rate, unsigned* word);
    int start(unsigned ch, bool bypass);
    int canStart(uint8_t ch, bool bypass);
    int canStop(uint8_t ch);
    int canChStatusGet(uint8_t ch, unsigned* status);

    // Filters: mode, then start identifier, then end identifier (the
    // command goes out with the end identifier).
    int canFilterModeSet(uint8_t ch, int mode);
    int canFilterStartIdSet(uint8_t ch, unsigned id);
    int canFilterEndIdSet(uint8_t ch, unsigned id);
    int canFilterClear(uint8_t ch, int unused);
    int canFilterEnable(uint8_t ch, int unused);

    // Key/value settings: "<channel digit>/<setting>" keys, channels 0 and 1.
    int setValue(const char* key, const char* value);
    const char* getValue(const char* key);
    int keyIntValueGet(const char* key, const char* value, const char* pattern, uint8_t* ch,
                       int* out);
    int keyHexValueGet(const char* key, const char* value, const char* pattern, uint8_t* ch,
                       unsigned* out);
    int keyStrValueGet(const char* key, const char* value, const char* pattern, uint8_t* ch,
                       const char** out);
    int canIsoModeSet(uint8_t ch, int flag);
    int canAbaudrateSet(uint8_t ch, int rate);
    int canDbaudrateSet(uint8_t ch, int rate);
    int canBaudCustom(uint8_t ch, const char* text);

    // Receive side.
    void usbRxDataBufferClr(uint8_t ch);
    void taskThreadCreate();
    void taskThreadShutdown();

    // Read-only views for diagnostics and tests.
    unsigned deviceType() const { return devType; }
    unsigned channels() const { return channelCount; }
    uint16_t firmwareVersion0() const { return version0; }
    uint16_t firmwareVersion1() const { return version1; }
    bool channelActive(unsigned ch) const { return ch < kChannels && chActive[ch]; }
    bool awaitingEchoes() const { return echoWait.load() != 0; }
    uint8_t channelOptionA(unsigned ch) const { return ch < kChannels ? chOptionA[ch] : 0; }
    uint8_t channelIsoMode(unsigned ch) const { return ch < kChannels ? isoMode[ch] : 0; }
    unsigned channelAbitTiming(unsigned ch) const { return ch < kChannels ? abitTiming[ch] : 0; }
    unsigned channelDbitTiming(unsigned ch) const { return ch < kChannels ? dbitTiming[ch] : 0; }

private:
    bool lookupType(unsigned type);
    uint8_t clockMHz() const;
    // Exchanges a command on the interrupt endpoints with the usual buffers;
    // returns the reply length, or a negative result.
    int command(const uint8_t* request, int length, uint8_t (&reply)[64], unsigned timeoutMs,
                bool bypass);
    int filterCmdSend(uint8_t ch, uint8_t op, unsigned startId, unsigned endId);
    int bulkExchange(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                     uint8_t epOut, uint8_t epIn, unsigned timeoutMs, bool alwaysAwaitEcho);

    QUserThreadObj rxThread;
    unsigned devType = 0;
    unsigned devIndex = 0;
    unsigned channelCount = 0;
    std::atomic<unsigned> openState{0};
    uint32_t faultTime = 0;
    uint16_t version0 = 0;
    uint16_t version1 = 0;
    std::atomic<uint32_t> linkFault{0};
    std::atomic<uint8_t> echoWait{1};
    uint8_t rxBuf[4096] = {};
    unsigned rxBufLen = 0;
    std::deque<_YCAN_CAN_OBJ> canQueue[kChannels];
    std::deque<_YCAN_CANFD_OBJ> canFdQueue[kChannels];
    QRecursiveMutex rxLock;
    QRecursiveMutex cmdLock;
    QUserLibUsb usb;
    std::atomic<uint8_t> faultCheck{1};
    _YCAN_INITFD_CONFIG chConfig[kChannels] = {};
    uint8_t chActive[kChannels] = {};
    uint8_t isoMode[kChannels] = {};
    uint8_t chOptionA[kChannels] = {};
    unsigned abitTiming[kChannels] = {};
    unsigned dbitTiming[kChannels] = {};
    uint8_t filterState[kChannels] = {};
    uint8_t filterMode[kChannels] = {};
    unsigned filterStartId[kChannels] = {};
};
