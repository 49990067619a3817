// The USB transport: the one object through which every adapter driver talks
// to its adapter. Each opened adapter owns one.
//
// Results follow libusb: transfers return the bytes moved or a negative
// libusb error code. The transport never sets the library's last error; it
// logs, and keeps a link status that the drivers' supervision polls.
//
// Locking: open, close and bulk writes hold `mutex` for their whole run.
// The device handle has a guard of its own: every transfer holds it
// shared while libusb uses the handle, open, close and restart hold it
// exclusive, so a handle is never closed under a transfer. Interrupt
// transfers and reads take no other lock, so a receive thread can sit in a
// read while another thread sends commands; the drivers serialise their own
// command exchanges.
//
// One program per adapter: the open claims the adapter's interface before it
// writes anything to it (the reset included). When another program (or
// another open in this one) holds it, the open fails without touching the
// device and says who holds it. The close releases the claim.
//
// Restarting: the open remembers where the adapter sits on the USB tree (its
// bus and port path) and its serial number when it reports one. A restart
// reopens only the adapter found there again; an adapter that is back in
// another port, or another adapter in its port, is not taken for it.
//
// Aborting: abortTransfers() cancels every transfer in flight and makes new
// ones fail at once with LIBUSB_ERROR_INTERRUPTED, until resumeTransfers() or
// the next OpenUSBDevice(). A driver that stops its receive thread or closes
// the adapter uses it so that nobody waits out a read's time-out, and no
// thread ever has to be cancelled inside libusb.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

class QUserLibUsb {
public:
    QUserLibUsb();
    virtual ~QUserLibUsb();
    QUserLibUsb(const QUserLibUsb&) = delete;
    QUserLibUsb& operator=(const QUserLibUsb&) = delete;

    // Opens the index-th attached device (from 0, in the USB device list's
    // order) with the given vendor and product id. 1 opened; 0 not found, not
    // openable or in use by another program (busy() tells); a negative
    // libusb code when the device list cannot be had.
    int OpenUSBDevice(unsigned vendorId, unsigned productId, int index);
    // Clears the halt of every endpoint used since the last close, resets,
    // releases and closes the device. Always 1.
    int CloseUSBDevice();
    // Whether the last open or restart found the adapter held by another
    // program.
    bool busy() const { return heldElsewhere.load(); }

    // Where an opened adapter sits: its bus, its port path from the root
    // hub, and its serial number string ("" when it reports none).
    struct Location {
        uint8_t bus = 0;
        std::vector<uint8_t> ports;
        std::string serial;
        bool operator==(const Location&) const = default;
    };
    // The location of the last successful open (all empty before one).
    Location location() const;
    // 1 while the adapter is linked, 0 once a transfer found it gone.
    int GetUSBDeviceLinkStatus();
    // How many times a transfer found the linked adapter gone.
    uint32_t linkLosses() const { return losses.load(); }
    // Closes, reopens the adapter the last successful open opened (at its
    // bus and port path, with its serial number), and gives it 100 ms to
    // settle. Always 1: the link status tells the outcome.
    int RestartUSBDevice();
    // Marks the link down when err says the device is gone.
    void ProcessUSBDeviceErrCode(int err);

    // Interrupt and bulk transfers. Writes return -1 when no device is open,
    // reads 0. timeoutMs 0 waits without limit.
    int WriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs);
    int bulkWriteUSBDevice(uint8_t* data, int length, uint8_t ep, unsigned timeoutMs);
    int ReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs);
    int bulkReadUSBDevice(uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs);
    // Clears an endpoint halt. Always 0.
    int resetUSBEp(uint8_t ep);

    // Whether a device is open (for the drivers' own checks).
    bool isOpen() const { return devHandle.load() != nullptr; }

    // Cancels the transfers in flight; later ones fail at once until
    // resumeTransfers() or a successful OpenUSBDevice(). A restart does
    // nothing while transfers are aborted. Any thread, no lock held.
    void abortTransfers();
    void resumeTransfers();
    bool transfersAborted() const { return aborted.load(); }

    // The transfers above by their type.
    enum class TransferType { Interrupt, Bulk };
    int write(TransferType type, uint8_t* data, int length, uint8_t ep, unsigned timeoutMs);
    int read(TransferType type, uint8_t* buffer, int capacity, uint8_t ep, unsigned timeoutMs);

private:
    // One transfer on the open handle (guard held shared by the caller):
    // libusb's result code, bytes moved in *transferred.
    int transfer(libusb_device_handle* handle, TransferType kind, uint8_t ep, uint8_t* data, int length,
                 int* transferred, unsigned timeoutMs);
    int openLocked(unsigned vid, unsigned pid, int index);
    // Reopens the adapter at the remembered location.
    void reopenLocked();
    enum class Attach { Opened, Failed, Busy, Elsewhere };
    // Opens and claims one listed device, checks it against `expected` (a
    // restart) and resets it; on success the handle is the transport's.
    Attach attachLocked(libusb_device* dev, unsigned vid, unsigned pid, int index, const Location* expected);
    void closeLocked();
    // Replaces the context with a new one (its device list read afresh),
    // unless that was done less than kContextRenewal ago. No transfer may
    // be under way: the caller holds the handle guard exclusively.
    bool renewContextLocked();
    void noteAbsent(unsigned vid, unsigned pid, int index);
    void noteBusy(libusb_device* dev, unsigned vid, unsigned pid, int index);

    std::atomic<libusb_device_handle*> devHandle{nullptr};
    libusb_context* usbContext = nullptr;
    static constexpr std::chrono::seconds kContextRenewal{1};
    std::chrono::steady_clock::time_point contextRenewed{};
    // Whether the last reopenLocked() found a device of its ids listed at
    // the remembered port (ours or not).
    bool listedAtItsPort = false;
    unsigned vendorId = 0;
    unsigned productId = 0;
    std::atomic<int> deviceIndex{0};
    // Endpoint of the last write failure that was logged; repeated failures
    // on the same endpoint stay quiet.
    std::atomic<uint8_t> lastWriteFailEp{255};
    // Endpoints used since the last close, by endpoint number (0 = unused).
    std::atomic<uint8_t> readEps[8] = {};
    std::atomic<uint8_t> writeEps[8] = {};
    std::atomic<int> linkStatus{0};
    std::atomic<uint32_t> losses{0};
    // Last failed read's code (0 after a good read); -4 also marks an absent
    // device whose "Not Exist" line was already written.
    std::atomic<int> lastReadErr{0};
    mutable pthread_mutex_t mutex;
    // Where the open adapter is (under `mutex`); known once an open succeeded.
    Location where;
    bool located = false;
    std::atomic<bool> heldElsewhere{false};
    bool busyLogged = false;  // under `mutex`

    // Held shared by transfers, exclusive by open and close.
    std::shared_mutex handleGuard;
    // Transfers in flight, so that an abort can cancel them.
    std::mutex inflightLock;
    std::condition_variable abortSignal;  // wakes a restart's settle pause
    std::vector<libusb_transfer*> inflight;
    std::atomic<bool> aborted{false};
};
