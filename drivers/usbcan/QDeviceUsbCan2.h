// Driver object for one classic USB CAN adapter (device types 3 and 4, two
// channels). The registry keeps one per device index for both type codes,
// from its first use to unload (ycan::keptIndices): the received frames and
// whether the adapter takes data packets without replies outlive a close.
//
//   usbcan2_exchange.cpp  command exchanges, data packets, direct transfer,
//                         device function set (calls no other file here)
//   usbcan2_channel.cpp   channel init/start/reset, board information, relay,
//                         baud parameters, channel state, receive queues
//   usbcan2_transmit.cpp  transmit
//   usbcan2_device.cpp    open/close, decoding, replay, close's resets
// Each file calls only the ones listed above it.
//
// Locking and lifetimes:
// - The registry serialises open and close.
// - The adapter's life (open, receive thread, link recovery, close) is the
//   shared AdapterLink's; this class supplies the decoder, the replay of a
//   channel and the channel resets at close (AdapterLink::Family). Every
//   call that uses the transport passes the command channel's call gate;
//   command exchanges also its link gate and command lock.
// - The received frames wait in ReceivedFrames (its own lock); close lets
//   their waiters go at once. The accumulation buffer belongs to the
//   receive thread.
// - configLock guards the saved channel configuration the replay reads; it
//   is never held across an exchange.
#pragma once

#include <atomic>
#include <cstdint>

#include "drivers/common/QDevice.h"
#include "drivers/common/adapter_link.h"
#include "drivers/common/received_frames.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "support/QUserMutex.h"
#include "ycan.h"

class QDeviceUsbCan2 : public QDevice, private ycan::AdapterLink::Family {
public:
    static constexpr unsigned kChannels = 2;

    QDeviceUsbCan2() = default;
    ~QDeviceUsbCan2() override;

    // QDevice. Channel arguments are checked here; the type is one of the
    // family's (the registry's lookup saw to that).
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
    // The channel reset: written only, the channel stays initialised.
    int stop(unsigned ch) override;
    int clearBuffer(unsigned ch) override;
    // kind 0 counts the channel's frames; any other kind answers 0.
    int getReceiveNum(unsigned ch, uint8_t kind) override;
    int transmitData(uint8_t* data, unsigned length) override;
    int setFliter(unsigned ch, _YCAN_FLITER_CONFIG* config) override;
    int receiveAll(unsigned ch, _YCAN_RX_FRAME* frames, unsigned count, int waitMs) override;
    int eventFd() override;
    int linkState(uint32_t* losses) override;
    int location(char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize) override;
    int relayStatusSet(uint8_t first, uint8_t second) override;
    int relayStatusGet(uint8_t* first, uint8_t* second) override;
    int baudParaGet(uint8_t ch, uint8_t* first, uint8_t* second) override;
    int chStateGet(uint8_t ch, uint8_t* first, uint8_t* second, uint8_t* third) override;

    // Views for diagnostics and tests.
    bool isOpen() const { return life.isOpen(); }
    bool isInit(unsigned ch) const { return life.isOpen() && ch < kChannels && chActive[ch].load() != 0; }
    bool recovering() const { return life.recovering(); }
    bool awaitingReplies() const { return txWaitReply.load() == 1; }
    unsigned reassemblyBytes() const { return rxStream.buffered(); }

    // Command exchanges on the interrupt endpoints: 0 success (*rxLen holds
    // the reply length), -1 not sent or refused during recovery, -2 no
    // reply. A time-out of 0 writes the command only: 0 or -1, and no last
    // error. usbCmdSend is the application's; usbCmdSendDirect the receive
    // thread's while it replays the channels (its own time-outs).
    int usbCmdSend(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut, uint8_t epIn,
                   unsigned timeoutMs);
    int usbCmdSendDirect(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut, uint8_t epIn,
                         unsigned timeoutMs);
    // A bulk data packet, with the adapter's reply while replies are
    // awaited. 0 or -1. Only inside a transmit batch.
    int usbDataSend(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, uint8_t epOut, uint8_t epIn,
                    unsigned timeoutMs);
    // Device function set over the secured framing; 0 accepted.
    int usbcan2DevFunSet();

private:
    ycan::CommandChannel& commands() { return life.channel(); }
    // A command on 0x01/0x81 with the reply buffer cleared first, by
    // whichever exchange the calling thread may use.
    int command(const uint8_t* tx, int txLen, uint8_t* rx, int* rxLen, unsigned timeoutMs);
    // Channel initialisation and start on the open adapter (application
    // calls and the replay): 1, or 0 with the last error set.
    int cmdInitSend(unsigned ch, const _YCAN_INIT_CONFIG* config);
    int startChannel(unsigned ch);
    int directTransfer(uint8_t* data, int length);

    // AdapterLink::Family (usbcan2_device.cpp)
    void decode(const uint8_t* data, unsigned length) override;
    void dropPartial() override;
    bool anyChannelActive() const override;
    bool replayChannel(unsigned ch) override;
    void releaseWaiters() override;
    void closeChannels(bool adapterAnswers) override;
    void linkChanged() override;

    std::atomic<int> chActive[kChannels] = {};  // 1 after a successful initialisation
    ycan::ReceivedFrames rxFrames{kChannels};
    _YCAN_INIT_CONFIG chConfig[kChannels] = {};  // configLock held
    QRecursiveMutex configLock;
    // 1 until an adapter accepts the function set; it stays 0 afterwards.
    std::atomic<uint8_t> txWaitReply{1};
    // The receive thread's: bytes not yet decoded, frames of one transfer.
    ycan::Usbcan2Stream rxStream;
    ycan::StagedFrames rxStaged;
    // Last: destroyed first, its receive thread stopped before the rest goes.
    ycan::AdapterLink life{
        *this,
        {.endpoint = 0x82, .capacity = 64, .channels = kChannels, .restoredLine = "YORV Tip:USBCAN OK..."}};
};
