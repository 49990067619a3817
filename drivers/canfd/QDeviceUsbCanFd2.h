// Driver object for one USB CAN FD adapter (device types 41-43, 64-67).
//
// The implementation is split by concern:
//   canfd_command.cpp    commands and data packets over the command channel
//   canfd_lifecycle.cpp  open/close, versions, board info, direct transfer,
//                        device function set, the stop of channels at close
//   canfd_config.cpp     bit rates and timing, start/stop, status, filters
//   canfd_keyvalue.cpp   the key/value settings (canfd_settings_text.h reads them)
//   canfd_transmit.cpp   transmit path (canfd_packet.h lays out the packets)
//   canfd_receive.cpp    receive stream into the queues (canfd_stream.h decodes)
//   canfd_thread.cpp     the receive thread's decoding and the replay of a
//                        channel after an unplug (the shared AdapterLink runs
//                        the thread and the supervision)
//
// Locking and lifetimes:
// - The adapter's life (open, receive thread, link recovery, close) is the
//   shared AdapterLink's; this class supplies the decoder, the replay of a
//   channel and the stop of its channels at close (AdapterLink::Family).
//   Commands go through its CommandChannel: application exchanges through
//   its gates and command lock, the owner's (replay, close) without.
// - Received frames wait in ReceivedFrames (its own lock);
//   rxLock guards the reassembly buffer, held by the receive thread while it
//   decodes one transfer and by a clear from an application thread.
// - configLock guards the saved channel configuration the replay reads.
// - filterLock (per channel) holds a filter's steps together; it is taken
//   before the command channel's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "drivers/canfd/canfd_stream.h"
#include "drivers/common/QDevice.h"
#include "drivers/common/adapter_link.h"
#include "drivers/common/received_frames.h"
#include "support/QUserMutex.h"

class QDeviceUsbCanFd2 : public QDevice, private ycan::AdapterLink::Family {
public:
    static constexpr unsigned kChannels = 8;  // every per-channel array
    static constexpr uint8_t kLastChannel = kChannels - 1;
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
    int receiveAll(unsigned ch, _YCAN_RX_FRAME* frames, unsigned count, int waitMs) override;
    int eventFd() override;
    int linkState(uint32_t* losses) override;
    int location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) override;

    // Lifecycle and command channel.
    int canGetDeviceVer();
    // Interrupt command exchange: writes the request and waits for a reply
    // whose first two bytes match it, writing again after every unmatched
    // read, within timeoutMs. 0 matched (*replyLen holds its length), -1 or
    // -2 failure (last error 7 or 12); -1 without a last error while the
    // link is being restored.
    int usbCmdSend(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut,
                   uint8_t epIn, unsigned timeoutMs);
    // Bulk data exchange: one write, then (while echoes are awaited) wait
    // for the adapter's echo. 0 or -1. Only inside a transmit batch.
    int usbCmdExtSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen,
                            uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
    // As above but always waits for the echo when timeoutMs is not 0. Not
    // used by the library's own calls; only inside a transmit batch.
    int usbCmdSendByBulk(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut,
                         uint8_t epIn, unsigned timeoutMs);
    // Device function set over the secured framing. 0 accepted.
    int canDevFunSet();

    // Channel configuration.
    int initCANFDCmdSend(unsigned ch, _YCAN_INITFD_CONFIG* config);
    int canFdBaudInit(uint8_t ch, uint8_t optionB, uint8_t optionA, uint8_t abitClock, uint8_t dbitClock,
                      unsigned abitWord, unsigned dbitWord);
    int aBitTimingGet(unsigned rate, unsigned* word);
    int dBitTimingGet(unsigned rate, unsigned* word);
    int canStart(uint8_t ch);
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
    int canIsoModeSet(uint8_t ch, int flag);
    int canAbaudrateSet(uint8_t ch, int rate);
    int canDbaudrateSet(uint8_t ch, int rate);
    int canBaudCustom(uint8_t ch, const char* text);

    // Transmit: one data packet of up to 10 records. count on success, 0 on
    // failure. Only inside a transmit batch (transmit/transmitFD run them).
    int transmitSingle(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count);
    int transmitSingleFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count);

    // Receive side.
    void usbRxDataBufferClr(uint8_t ch);
    void usbRxDataProcess(const uint8_t* data, unsigned length);
    // One record decoded and queued; the stream decoder does this for every
    // record, so nothing in the library calls these.
    void usbDevCanDataRecHandle(const uint8_t* record, int available);
    void usbDevCanFdDataRecHandle(const uint8_t* record, int available);

    // Read-only views for diagnostics and tests.
    unsigned deviceType() const { return devType; }
    unsigned channels() const { return channelCount; }
    uint16_t firmwareVersion0() const { return version0; }
    uint16_t firmwareVersion1() const { return version1; }
    bool channelActive(unsigned ch) const { return ch < kChannels && chActive[ch].load(); }
    bool awaitingEchoes() const { return echoWait.load() != 0; }
    bool recovering() const { return life.recovering(); }
    bool receiveThreadRunning() const { return life.receiving(); }
    // Bytes of an unfinished packet waiting for the rest.
    unsigned reassemblyBytes();
    uint8_t channelOptionA(unsigned ch) const { return ch < kChannels ? chOptionA[ch] : 0; }
    uint8_t channelIsoMode(unsigned ch) const { return ch < kChannels ? isoMode[ch] : 0; }
    unsigned channelAbitTiming(unsigned ch) const { return ch < kChannels ? abitTiming[ch] : 0; }
    unsigned channelDbitTiming(unsigned ch) const { return ch < kChannels ? dbitTiming[ch] : 0; }

private:
    uint8_t clockMHz() const { return static_cast<uint8_t>(clock); }
    // The version words of commands 0x01 and 0x12, in order: how many were
    // read (0, 1 or 2).
    int readVersionWords(uint16_t* v0, uint16_t* v1);
    // Exchanges a command on the interrupt endpoints with the usual buffers;
    // returns the reply length, or a negative result.
    int command(const uint8_t* request, int length, uint8_t (&reply)[64], unsigned timeoutMs);
    int filterCmdSend(uint8_t ch, uint8_t op, unsigned startId, unsigned endId);
    // The filter steps with the channel's filterLock held by the caller.
    int filterModeSetLocked(uint8_t ch, int mode);
    int filterStartIdSetLocked(uint8_t ch, unsigned id);
    int filterEndIdSetLocked(uint8_t ch, unsigned id);
    int bulkExchange(const uint8_t* request, int requestLen, uint8_t* reply, int* replyLen, uint8_t epOut,
                     uint8_t epIn, unsigned timeoutMs, bool alwaysAwaitEcho);
    template <class Frame>
    int transmitFrames(unsigned ch, Frame* frames, unsigned count);
    template <class Frame>
    int sendPacket(unsigned ch, Frame* frames, unsigned count);
    template <class Frame>
    int takeFrames(unsigned ch, Frame* out, unsigned count, int waitMs);
    // Hands the staged frames of a transfer to their queues; rxLock held.
    void publishStaged();

    // AdapterLink::Family
    void decode(const uint8_t* data, unsigned length) override;
    void dropPartial() override;
    bool anyChannelActive() const override;
    bool replayChannel(unsigned ch) override;
    void releaseWaiters() override;
    void closeChannels(bool adapterAnswers) override;
    void linkChanged() override;

    unsigned devType = 0;
    unsigned devIndex = 0;
    unsigned channelCount = 0;
    unsigned clock = 60;  // controller clock, MHz
    uint16_t version0 = 0;
    uint16_t version1 = 0;
    std::atomic<uint8_t> echoWait{1};
    ycan::CanFdStream rxStream;        // rxLock held
    ycan::CanFdStream::Staged staged;  // rxLock held
    ycan::ReceivedFrames received{kChannels};
    QRecursiveMutex rxLock;
    // Guards chConfig, chOptionA and writes of chActive: the receive thread
    // replays them during recovery while applications may initialise.
    QRecursiveMutex configLock;
    _YCAN_INITFD_CONFIG chConfig[kChannels] = {};
    std::atomic<uint8_t> chActive[kChannels] = {};
    uint8_t isoMode[kChannels] = {};
    uint8_t chOptionA[kChannels] = {};
    unsigned abitTiming[kChannels] = {};
    unsigned dbitTiming[kChannels] = {};
    // A range filter is three steps over the fields below; filterLock of
    // the channel holds them together, so that two threads setting ranges
    // on one channel each install exactly their own. Taken before cmdLock
    // (inside the filter command), never the other way round.
    std::mutex filterLock[kChannels];
    uint8_t filterState[kChannels] = {};     // filterLock held
    uint8_t filterMode[kChannels] = {};      // filterLock held
    unsigned filterStartId[kChannels] = {};  // filterLock held
    // Last: destroyed first, so that its receive thread has stopped before
    // anything it decodes into goes.
    ycan::AdapterLink life{*this,
                           {.endpoint = 0x83,
                            .capacity = ycan::AdapterLink::kMaxRead,
                            .channels = kChannels,
                            .restoredLine = "YORV Tip:USBCANFD OK..."}};
};
