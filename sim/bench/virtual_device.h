// One virtual USB device on the bench: its usbfs emulation (URB queues per
// connection, completion, cancellation) and the fault injection a test can
// apply to it. Its behaviour comes from a DeviceModel.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/hostility.h"
#include "sim/bench/usb_layout.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace ycansim {

class UsbBench;

class VirtualDevice final : public DeviceEndpoints {
public:
    VirtualDevice(UsbBench& bench, int id, DeviceLayout layout, std::shared_ptr<DeviceModel> model);
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    int id() const { return deviceId; }
    const DeviceLayout& layout() const { return deviceLayout; }
    DeviceModel& model() { return *deviceModel; }
    int busNumber() const;
    int portNumber() const;
    int deviceNumber() const;
    bool plugged() const;
    // sysfs path of the current node ("/sys/devices/..."), empty when unplugged.
    std::string sysPath() const;

    // The IN endpoints (see DeviceEndpoints).
    void pushIn(uint8_t ep, std::vector<uint8_t> data) override;
    void pushInAfter(uint8_t ep, std::vector<uint8_t> data, std::chrono::milliseconds delay) override;
    size_t inRoom(uint8_t ep) const override;

    // Fault injection.
    // The next `count` chunks pushed on `ep` are lost.
    void dropNextIn(uint8_t ep, int count = 1);
    // The next chunk pushed on `ep` arrives `delay` later than pushed.
    void delayNextIn(uint8_t ep, std::chrono::milliseconds delay);
    // Halts `ep`: its transfers fail with a stall until the host clears it.
    void stall(uint8_t ep);
    bool halted(uint8_t ep) const;
    // Misbehaves from now on as `how` says (see hostility.h); a default
    // Hostility{} behaves again. Chunks already delayed still arrive.
    void setHostility(const Hostility& how);
    HostileCounts hostileCounts() const;

    // File descriptors the emulation holds (a FIFO per node, and the socket
    // of each attached ioctl handler): a test counting the process's
    // descriptors takes these off.
    size_t descriptorsHeld() const;

    // IN transfers the host has pending on `ep` (it is waiting for data).
    int pendingIn(uint8_t ep) const;
    // Transfers on `ep` finished but not yet reaped by the host.
    int finishedIn(uint8_t ep) const;
    // Chunks queued on `ep` that no transfer has taken yet.
    int queuedIn(uint8_t ep) const;
    // Waits until the host has at least `count` IN transfers pending on ep.
    bool waitPendingIn(uint8_t ep, int count, std::chrono::milliseconds timeout) const;

private:
    friend class UsbBench;
    struct Urb;
    struct Node;
    struct DeferredClaim;

    // Bench side: plugging in and out.
    void plug(int bus, int port, int devnum, const std::string& sysPath);
    void unplug(int pendingStatus);
    // Detaches the ioctl handlers of every node this device had.
    void detachHandlers();
    // An old node of this device named /dev/bus/usb/<bus>/<devnum> lets go of
    // the name, which another device is about to take.
    void releaseNode(int bus, int devnum);
    void releaseNodeLocked(const std::string& devPath);

    // Handler of the usbfs ioctls of one node, on umockdev's worker thread.
    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* node);
    bool handleIoctl(Node& node, UMockdevIoctlClient* client);
    bool submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    bool reap(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    bool discard(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    // Interface claims, as usbfs keeps them: per open file.
    bool claim(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg, unsigned long request);
    bool release(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reset(Node& node, UMockdevIoctlClient* client);
    // A claim that met another connection's, looked at again until that
    // connection is seen closed or the grace is over (umockdev's worker thread).
    static int retryClaim(void* deferred);
    // Ends a claim: record, answer, and take it when `error` is 0.
    void finishClaim(Node& node, UMockdevIoctlClient* client, uint32_t iface, int error);

    // All below with `lock` held.
    void enqueue(uint8_t ep, std::vector<uint8_t> data);
    Node* currentLocked() const;
    // Transfers of the current node on `ep`: pending, or finished and not reaped.
    int countLocked(bool finished, uint8_t ep) const;
    // The connection holding the interface, when it is still open.
    UMockdevIoctlClient* claimantLocked(Node& node) const;
    void setClaimantLocked(Node& node, UMockdevIoctlClient* client);
    // Another connection takes the interface from `loser`: what it had
    // pending ends as on a device that went away for it.
    void dropClaimLocked(Node& node);
    void matchLocked(Node& node);
    void finishLocked(Node& node, std::list<std::unique_ptr<Urb>>::iterator it, int status);
    void updateWakeupLocked(Node& node);
    void record(int kind, uint8_t ep, int status, std::vector<uint8_t> data);

    UsbBench& bench;
    const int deviceId;
    const DeviceLayout deviceLayout;
    std::shared_ptr<DeviceModel> deviceModel;

    mutable std::mutex lock;
    mutable std::condition_variable pendingChanged;
    // Every node this device had; the last one is current while plugged.
    // Old nodes stay so that connections still open on them get ENODEV.
    std::vector<std::unique_ptr<Node>> nodes;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> inQueue;
    std::map<uint8_t, int> dropCount;
    std::map<uint8_t, std::chrono::milliseconds> delayNext;
    std::map<uint8_t, bool> haltedEps;
    int deferredClaims = 0;  // claims waiting in retryClaim
    Hostility hostility;
    bool hostile = false;
    std::mt19937 hostileRng;
    HostileCounts counts;
    // Chunks delayed with what follows: nothing on the endpoint goes before.
    std::map<uint8_t, std::chrono::steady_clock::time_point> inNotBefore;
};

}  // namespace ycansim
