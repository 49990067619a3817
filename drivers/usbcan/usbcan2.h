// The classic USB CAN driver (device types 3 and 4, two channels): free
// functions over a table of 32 device records, indexed by device index
// (types 3 and 4 with the same index share a record).
//
//   usbcan2_exchange.cpp  checks, command exchanges, direct transfer,
//                         device function set (calls no other file here)
//   usbcan2_channel.cpp   channel init/start/reset, board information, relay,
//                         baud parameters, channel state, receive queues
//   usbcan2_transmit.cpp  transmit
//   usbcan2_device.cpp    table, open/close, decoding, replay, close's resets
// Each file calls only the ones listed above it.
//
// Locking and lifetimes per record:
// - lifecycleLock serialises open and close of the record.
// - The record's life (open, receive thread, link recovery, close) is the
//   shared AdapterLink's; the record supplies the decoder, the replay of a
//   channel and the channel resets at close (AdapterLink::Family). Every
//   call that uses the transport passes the command channel's call gate;
//   command exchanges also its link gate and command lock.
// - The received frames wait in ReceivedFrames (its own lock); close lets
//   their waiters go at once. The accumulation buffer belongs to the
//   receive thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "drivers/common/adapter_link.h"
#include "drivers/common/received_frames.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "support/QUserMutex.h"
#include "ycan.h"

struct devInfo : private ycan::AdapterLink::Family {
    devInfo() = default;
    devInfo(const devInfo&) = delete;
    devInfo& operator=(const devInfo&) = delete;

    ycan::CommandChannel& commands() { return link.channel(); }

    std::mutex lifecycleLock;
    std::atomic<int> chActive[2] = {};  // 1 after a successful initialisation
    ycan::ReceivedFrames rxFrames{2};
    unsigned devIndex = 0;
    _YCAN_INIT_CONFIG chConfig[2] = {};  // guarded by configMutex
    QRecursiveMutex configMutex;
    std::atomic<uint8_t> txWaitReply{1};
    // The receive thread's: bytes not yet decoded, frames of one transfer.
    ycan::Usbcan2Stream rxStream;
    ycan::StagedFrames rxStaged;
    // Last: destroyed first, its receive thread stopped before the rest goes.
    ycan::AdapterLink link{*this, {.endpoint = 0x82,
                                   .capacity = 64,
                                   .channels = 2,
                                   .restoredLine = "YORV Tip:USBCAN OK..."}};

private:
    // AdapterLink::Family (usbcan2_device.cpp)
    void decode(const uint8_t* data, unsigned length) override;
    void dropPartial() override;
    bool anyChannelActive() const override;
    bool replayChannel(unsigned ch) override;
    void releaseWaiters() override;
    void closeChannels(bool adapterAnswers) override;
    void linkChanged() override;
};

constexpr unsigned kUsbCanDevices = 32;
extern devInfo devInfoList[kUsbCanDevices];

// Sets up and tears down the table; run at library load and unload.
class QLIBUSB {
public:
    QLIBUSB();
    ~QLIBUSB();
};
extern QLIBUSB usbcan2LibUsb;

extern "C" {
// Parameter and state checks. usbcan2DevParaIsValid sets last error 6 for a
// type other than 3 or 4 and 8 for an index of 32 or more or a channel of 2
// or more.
int usbcan2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2IsOpen(uint32_t type, uint32_t index);
int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t channel);

int usbcan2Init(void);
int usbcan2Exit(void);
int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t reserved);
int usbcan2CloseDevice(uint32_t type, uint32_t index);
int usbcan2InitCAN(uint32_t type, uint32_t index, uint32_t channel, _YCAN_INIT_CONFIG* config);
int usbcan2StartCAN(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ResetCAN(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ReadBoardInfo(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info);
int usbcan2DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t first, uint8_t second);
int usbcan2DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* first, uint8_t* second);
int usbcan2DevBaudParaGet(uint32_t type, uint32_t index, uint32_t channel, uint8_t* first,
                          uint8_t* second);
int usbcan2DevChStateGet(uint32_t type, uint32_t index, uint32_t channel, uint8_t* first,
                         uint8_t* second, uint8_t* third);
int usbcan2DevDataTransfer(uint32_t type, uint32_t index, uint8_t* data, int length);
int usbcan2Transmit(uint32_t type, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                    unsigned long count);
int usbcan2Receive(uint32_t type, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                   unsigned max, int waitMs);
int usbcan2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel);
// Both channels' frames in delivery order, the event descriptor, the link
// state (results and last errors as the exported calls).
int usbcan2ReceiveAll(uint32_t type, uint32_t index, uint32_t channel, _YCAN_RX_FRAME* frames,
                      unsigned max, int waitMs);
int usbcan2EventFd(uint32_t type, uint32_t index);
int usbcan2LinkState(uint32_t type, uint32_t index, uint32_t* losses);
}

// One application call on the record of a device index, for its scope:
// close waits for it to leave before it frees the transport, and refuses it
// once closing (false). An index past the table holds nothing and lets the
// call's own checks refuse it.
class RecordCall {
public:
    explicit RecordCall(uint32_t index);
    explicit operator bool() const { return !held || static_cast<bool>(*held); }

private:
    std::optional<ycan::GateScope> held;
};

// Internal steps, on a record.
int usbcan2DevFunSet(devInfo& rec);
// Closes every open record and lets every waiting receiver go (unload).
void usbcan2CloseAll();
// Command exchanges on the interrupt endpoints: 0 success (*rxLen holds the
// reply length), -1 not sent or refused during recovery, -2 no reply. A
// time-out of 0 writes the command only: 0 or -1, and no last error.
// usbCmdSend is the application's; usbCmdSendDirect the receive thread's
// while it replays the channels (its own time-outs).
int usbCmdSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
               uint8_t epIn, unsigned timeoutMs);
int usbCmdSendDirect(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen,
                     uint8_t epOut, uint8_t epIn, unsigned timeoutMs);
// A command on 0x01/0x81 with the reply buffer cleared first, by whichever
// of the two above the calling thread may use.
int usbcan2Command(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen,
                   unsigned timeoutMs);
// A bulk data packet, with the adapter's reply while txWaitReply is 1. 0 or
// -1. Only inside a transmit batch.
int usbDataSend(devInfo& rec, const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut,
                uint8_t epIn, unsigned timeoutMs);
// Channel initialisation and start on an open record (application calls
// and the replay): 1 or 0 with the last error set.
int usbcan2CmdInitSend(devInfo& rec, uint32_t channel, _YCAN_INIT_CONFIG* config);
int usbcan2Start(devInfo& rec, uint32_t channel);
int usbcan2DevRelayStatusSetExcute(devInfo& rec, uint8_t first, uint8_t second);
int usbcan2DevRelayStatusGetExcute(devInfo& rec, uint8_t* first, uint8_t* second);
int usbcan2DevBaudParaGetExcute(devInfo& rec, uint8_t channel, uint8_t* first, uint8_t* second);
int usbcan2DevChStateGetExcute(devInfo& rec, uint8_t channel, uint8_t* first, uint8_t* second,
                               uint8_t* third);
int usbcan2DevDataTransferExcute(devInfo& rec, uint8_t* data, int length);
