#include "sim/bench/virtual_device.h"

#include <algorithm>

#include <filesystem>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "sim/bench/usb_bench.h"

namespace ycansim {

namespace {

// What the emulated usbfs claims to support: one URB per transfer of any
// size, and reaping of finished URBs after a disconnect.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

bool isIn(uint8_t ep) { return (ep & 0x80) != 0; }

// The host learns that an ioctl is done through umockdev's socket, which the
// thread sanitizer does not see as synchronisation. Every completion passes
// this mutex first, and the bench passes it before it frees a device, so
// what the worker thread did for an ioctl visibly happens before the free.
std::mutex ioctlHandoff;

void handOff() { std::lock_guard guard(ioctlHandoff); }

void complete(UMockdevIoctlClient* client, long result, int err) {
    handOff();
    umockdev_ioctl_client_complete(client, result, err);
}

// Local copy of the value an ioctl argument points to (unsigned int sized).
bool readUintArg(UMockdevIoctlData* arg, uint32_t& value) {
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
    if (d == nullptr) {
        g_clear_error(&err);
        return false;
    }
    memcpy(&value, d->data, sizeof value);
    g_object_unref(d);
    return true;
}

}  // namespace

// One submitted URB: the client's URB and buffer as local copies that
// umockdev writes back when the URB is reaped.
struct VirtualDevice::Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* urbData = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uint8_t endpoint = 0;
    int length = 0;
    bool control = false;  // on the default pipe: the buffer starts with the setup packet
    int status = 0;
    int actual = 0;
    std::vector<uint8_t> completion;  // IN data, copied into the buffer at reap

    ~Urb() {
        if (buffer != nullptr) g_object_unref(buffer);
        if (urbData != nullptr) g_object_unref(urbData);
        if (client != nullptr) g_object_unref(client);
    }
};

// One appearance of the device on the bus: its /dev node, ioctl handler and
// transfers. A replug creates a new node.
struct VirtualDevice::Node {
    VirtualDevice* owner = nullptr;
    int bus = 0;
    int port = 0;
    int devnum = 0;
    std::string devPath;
    std::string sysPath;
    UMockdevIoctlBase* handler = nullptr;
    // libusb sleeps in poll() on the device node until a URB can be reaped.
    // The node is a FIFO holding one byte while nothing is reapable (poll
    // reports it full, not writable), and empty otherwise.
    int wakeFd = -1;
    bool wakeBlocked = false;
    bool gone = false;
    bool attached = false;  // its ioctl handler is registered with the testbed
    // The open file (connection) that holds interface 0, referenced; null
    // while nobody does. A closed connection's claim lapses, as the kernel
    // releases a file's claims when it is closed.
    UMockdevIoctlClient* claimant = nullptr;
    std::list<std::unique_ptr<Urb>> pending;   // IN transfers waiting for data
    std::list<std::unique_ptr<Urb>> finished;  // ready to be reaped
};

VirtualDevice::VirtualDevice(UsbBench& b, int id, DeviceLayout layout, std::shared_ptr<DeviceModel> m)
    : bench(b), deviceId(id), deviceLayout(std::move(layout)), deviceModel(std::move(m)) {}

VirtualDevice::~VirtualDevice() {
    {
        // A claim still waiting to be answered refers to this device.
        std::unique_lock guard(lock);
        // (umockdev's worker answers it within the claim grace.)
        pendingChanged.wait(guard, [this] { return deferredClaims == 0; });
    }
    handOff();
    for (auto& node : nodes) {
        node->pending.clear();
        node->finished.clear();
        if (node->wakeFd >= 0) close(node->wakeFd);
        if (node->handler != nullptr) g_object_unref(node->handler);
        if (node->claimant != nullptr) g_object_unref(node->claimant);
    }
}

VirtualDevice::Node* VirtualDevice::currentLocked() const {
    if (nodes.empty() || nodes.back()->gone) return nullptr;
    return nodes.back().get();
}

int VirtualDevice::busNumber() const {
    std::lock_guard guard(lock);
    return nodes.empty() ? 0 : nodes.back()->bus;
}

int VirtualDevice::portNumber() const {
    std::lock_guard guard(lock);
    return nodes.empty() ? 0 : nodes.back()->port;
}

int VirtualDevice::deviceNumber() const {
    std::lock_guard guard(lock);
    return nodes.empty() ? 0 : nodes.back()->devnum;
}

std::string VirtualDevice::sysPath() const {
    std::lock_guard guard(lock);
    Node* node = currentLocked();
    return node != nullptr ? node->sysPath : std::string();
}

bool VirtualDevice::plugged() const {
    std::lock_guard guard(lock);
    return currentLocked() != nullptr;
}

void VirtualDevice::plug(int bus, int port, int devnum, const std::string& sysPath) {
    auto node = std::make_unique<Node>();
    node->owner = this;
    node->bus = bus;
    node->port = port;
    node->devnum = devnum;
    node->devPath = usbDevNode(bus, devnum);
    node->sysPath = "/sys" + sysPath;

    // The node and its handler exist before the device is announced: adding
    // the device to the testbed sends its "add" event, and a library that
    // opens the node at once must find the emulation behind it, not a
    // plain file.
    std::string real = bench.rootDir() + node->devPath;
    std::filesystem::create_directories(std::filesystem::path(real).parent_path());
    unlink(real.c_str());
    if (mkfifo(real.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + real + ": " + strerror(errno));
    node->wakeFd = open(real.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node->wakeFd < 0) throw std::runtime_error("open " + real + ": " + strerror(errno));
    fcntl(node->wakeFd, F_SETPIPE_SZ, 4096);

    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(&VirtualDevice::onIoctl), node.get());

    GError* err = nullptr;
    {
        std::lock_guard guard(lock);
        // A node of an earlier plug-in under the same path lets go of it.
        releaseNodeLocked(node->devPath);
        inQueue.clear();
        haltedEps.clear();
        updateWakeupLocked(*node);
        if (!umockdev_testbed_attach_ioctl(bench.testbed(), node->devPath.c_str(), node->handler, &err)) {
            std::string why = err ? err->message : "unknown";
            g_clear_error(&err);
            throw std::runtime_error("cannot attach ioctl handler: " + why);
        }
        node->attached = true;
        nodes.push_back(std::move(node));
    }

    // Without its node line: the node is the FIFO made above.
    std::string record = umockdevRecord(deviceLayout, sysPath, bus, devnum, false);
    if (!umockdev_testbed_add_from_string(bench.testbed(), record.c_str(), &err)) {
        std::string why = err ? err->message : "unknown";
        g_clear_error(&err);
        throw std::runtime_error("cannot add virtual USB device: " + why);
    }
}

void VirtualDevice::unplug(int pendingStatus) {
    Node* node;
    {
        std::lock_guard guard(lock);
        node = currentLocked();
        if (node == nullptr) return;
    }
    // The node leaves the file system before its transfers start failing,
    // as with the kernel, where a disconnected device can no longer be
    // opened from the moment its transfers fail: a host that reacts to the
    // failure at once must not find the device still there and open it.
    umockdev_testbed_uevent(bench.testbed(), node->sysPath.c_str(), "remove");
    // The handler stays attached, answering ENODEV: a connection the host
    // still has open on the node may be in the middle of an ioctl, and
    // detaching now would cut it (umockdev's preload ends the process on a
    // broken ioctl socket). detachHandlers() lets go of them at the end.
    umockdev_testbed_remove_device(bench.testbed(), node->sysPath.c_str());
    {
        std::lock_guard guard(lock);
        node->gone = true;
        // As the host controller ends them when the device drops off (by
        // default a protocol error, libusb: LIBUSB_ERROR_IO); the requests
        // after it find the device gone (ENODEV).
        while (!node->pending.empty()) finishLocked(*node, node->pending.begin(), pendingStatus);
        inQueue.clear();
        updateWakeupLocked(*node);
    }
    pendingChanged.notify_all();
}

void VirtualDevice::releaseNode(int bus, int devnum) {
    std::lock_guard guard(lock);
    releaseNodeLocked(usbDevNode(bus, devnum));
}

void VirtualDevice::releaseNodeLocked(const std::string& devPath) {
    for (auto& old : nodes) {
        if (!old->attached || old->devPath != devPath) continue;
        GError* err = nullptr;
        umockdev_testbed_detach_ioctl(bench.testbed(), old->devPath.c_str(), &err);
        g_clear_error(&err);
        old->attached = false;
    }
}

void VirtualDevice::detachHandlers() {
    std::lock_guard guard(lock);
    for (auto& node : nodes) {
        if (!node->attached) continue;
        GError* err = nullptr;
        umockdev_testbed_detach_ioctl(bench.testbed(), node->devPath.c_str(), &err);
        g_clear_error(&err);
        node->attached = false;
    }
}

void VirtualDevice::record(int kind, uint8_t ep, int status, std::vector<uint8_t> data) {
    bench.capture().add(
        {UsbBench::nowUs(), deviceId, static_cast<UsbEvent>(kind), ep, status, std::move(data)});
}

// ---- Device side ----------------------------------------------------------

void VirtualDevice::pushIn(uint8_t ep, std::vector<uint8_t> data) {
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds delay{0};
    bool twice = false;
    {
        std::lock_guard guard(lock);
        if (int& drops = dropCount[ep]; drops > 0) {
            --drops;
            return;
        }
        if (auto d = delayNext.find(ep); d != delayNext.end()) {
            delay = d->second;
            delayNext.erase(d);
        }
        const bool tamper = hostile && std::find(hostility.tamperEps.begin(), hostility.tamperEps.end(),
                                                 ep) != hostility.tamperEps.end();
        if (tamper) {
            auto roll = [this](int pct) { return pct > 0 && static_cast<int>(hostileRng() % 100) < pct; };
            auto someMs = [this] {
                return std::chrono::milliseconds(
                    1 + hostileRng() % static_cast<unsigned>(std::max(1, hostility.maxDelayMs)));
            };
            ++counts.chunks;
            if (roll(hostility.replacePct)) {
                for (auto& b : data) b = static_cast<uint8_t>(hostileRng());
                ++counts.replaced;
            }
            if (!data.empty() && roll(hostility.truncatePct)) {
                data.resize(hostileRng() % data.size());
                ++counts.truncated;
            }
            if (roll(hostility.duplicatePct)) {
                twice = true;
                ++counts.duplicated;
            }
            const Clock::time_point now = Clock::now();
            if (roll(hostility.reorderPct)) {
                delay = std::max(delay, someMs());  // alone: later chunks overtake it
                ++counts.reordered;
            } else {
                Clock::time_point at = std::max(now + delay, inNotBefore[ep]);
                if (roll(hostility.delayPct)) {
                    at += someMs();
                    ++counts.delayed;
                }
                inNotBefore[ep] = at;
                delay = std::chrono::ceil<std::chrono::milliseconds>(at - now);
            }
        }
    }
    if (twice) {
        std::vector<uint8_t> copy = data;
        if (delay.count() > 0)
            bench.after(delay,
                        [this, ep, copy = std::move(copy)]() mutable { enqueue(ep, std::move(copy)); });
        else
            enqueue(ep, std::move(copy));
    }
    if (delay.count() > 0)
        bench.after(delay, [this, ep, data = std::move(data)]() mutable { enqueue(ep, std::move(data)); });
    else
        enqueue(ep, std::move(data));
}

void VirtualDevice::setHostility(const Hostility& how) {
    std::lock_guard guard(lock);
    hostility = how;
    hostile = how.replacePct > 0 || how.truncatePct > 0 || how.delayPct > 0 || how.reorderPct > 0 ||
              how.duplicatePct > 0 || how.stallPct > 0;
    hostileRng.seed(how.seed);
}

HostileCounts VirtualDevice::hostileCounts() const {
    std::lock_guard guard(lock);
    return counts;
}

void VirtualDevice::pushInAfter(uint8_t ep, std::vector<uint8_t> data, std::chrono::milliseconds delay) {
    bench.after(delay, [this, ep, data = std::move(data)]() mutable { pushIn(ep, std::move(data)); });
}

void VirtualDevice::enqueue(uint8_t ep, std::vector<uint8_t> data) {
    std::lock_guard guard(lock);
    Node* node = currentLocked();
    if (node == nullptr) return;  // nobody to send to
    inQueue[ep].push_back(std::move(data));
    matchLocked(*node);
    updateWakeupLocked(*node);
}

void VirtualDevice::dropNextIn(uint8_t ep, int count) {
    std::lock_guard guard(lock);
    dropCount[ep] += count;
}

void VirtualDevice::delayNextIn(uint8_t ep, std::chrono::milliseconds delay) {
    std::lock_guard guard(lock);
    delayNext[ep] = delay;
}

void VirtualDevice::stall(uint8_t ep) {
    std::lock_guard guard(lock);
    haltedEps[ep] = true;
    Node* node = currentLocked();
    if (node == nullptr) return;
    for (auto it = node->pending.begin(); it != node->pending.end();) {
        auto next = std::next(it);
        if ((*it)->endpoint == ep) finishLocked(*node, it, -EPIPE);
        it = next;
    }
    updateWakeupLocked(*node);
}

bool VirtualDevice::halted(uint8_t ep) const {
    std::lock_guard guard(lock);
    auto h = haltedEps.find(ep);
    return h != haltedEps.end() && h->second;
}

size_t VirtualDevice::descriptorsHeld() const {
    std::lock_guard guard(lock);
    size_t n = 0;
    for (auto& node : nodes) n += (node->wakeFd >= 0 ? 1 : 0) + (node->attached ? 1 : 0);
    return n;
}

int VirtualDevice::countLocked(bool finished, uint8_t ep) const {
    Node* node = currentLocked();
    int n = 0;
    if (node != nullptr)
        for (auto& u : finished ? node->finished : node->pending) n += u->endpoint == ep;
    return n;
}

int VirtualDevice::pendingIn(uint8_t ep) const {
    std::lock_guard guard(lock);
    return countLocked(false, ep);
}

int VirtualDevice::finishedIn(uint8_t ep) const {
    std::lock_guard guard(lock);
    return countLocked(true, ep);
}

int VirtualDevice::queuedIn(uint8_t ep) const {
    std::lock_guard guard(lock);
    auto q = inQueue.find(ep);
    return q == inQueue.end() ? 0 : static_cast<int>(q->second.size());
}

size_t VirtualDevice::inRoom(uint8_t ep) const {
    std::lock_guard guard(lock);
    Node* node = currentLocked();
    if (node == nullptr) return 0;
    auto q = inQueue.find(ep);
    size_t queued = q == inQueue.end() ? 0 : q->second.size();
    for (auto& u : node->pending) {
        if (u->endpoint != ep) continue;
        if (queued == 0) return static_cast<size_t>(std::max(0, u->length));
        --queued;
    }
    return 0;
}

bool VirtualDevice::waitPendingIn(uint8_t ep, int count, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock);
    return pendingChanged.wait_for(guard, timeout, [&] { return countLocked(false, ep) >= count; });
}

// ---- Transfer bookkeeping (lock held) --------------------------------------

void VirtualDevice::matchLocked(Node& node) {
    for (auto it = node.pending.begin(); it != node.pending.end();) {
        auto next = std::next(it);
        Urb& urb = **it;
        auto q = inQueue.find(urb.endpoint);
        if (q != inQueue.end() && !q->second.empty()) {
            std::vector<uint8_t>& chunk = q->second.front();
            size_t n = std::min(chunk.size(), static_cast<size_t>(urb.length));
            urb.completion.assign(chunk.begin(), chunk.begin() + static_cast<long>(n));
            urb.actual = static_cast<int>(n);
            if (n < chunk.size())
                chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(n));
            else
                q->second.pop_front();
            record(static_cast<int>(UsbEvent::In), urb.endpoint, 0, urb.completion);
            finishLocked(node, it, 0);
        }
        it = next;
    }
}

void VirtualDevice::finishLocked(Node& node, std::list<std::unique_ptr<Urb>>::iterator it, int status) {
    (*it)->status = status;
    if (status != 0) (*it)->actual = 0;
    node.finished.splice(node.finished.end(), node.pending, it);
}

void VirtualDevice::updateWakeupLocked(Node& node) {
    // The FIFO's content is set from what it holds, not from what we think
    // it holds: an empty FIFO while something is reapable, one byte otherwise.
    const bool reapable = !node.finished.empty();
    int held = 0;
    if (ioctl(node.wakeFd, FIONREAD, &held) != 0) held = node.wakeBlocked ? 1 : 0;
    char byte = 0;
    if (reapable) {
        while (held-- > 0 && read(node.wakeFd, &byte, 1) == 1) {
        }
        node.wakeBlocked = false;
    } else if (held == 0) {
        node.wakeBlocked = write(node.wakeFd, &byte, 1) == 1;
    } else {
        node.wakeBlocked = true;
    }
}

// ---- usbfs emulation, on umockdev's worker thread -------------------------

int VirtualDevice::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* node) {
    Node* n = static_cast<Node*>(node);
    return n->owner->handleIoctl(*n, client) ? TRUE : FALSE;
}

bool VirtualDevice::handleIoctl(Node& node, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(node, client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(node, client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(node, client, arg);
        default:
            break;
    }
    {
        std::lock_guard guard(lock);
        if (node.gone) {
            complete(client, -1, ENODEV);
            return true;
        }
    }
    uint32_t value = 0;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            GError* err = nullptr;
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
            if (d == nullptr) {
                g_clear_error(&err);
                complete(client, -1, EFAULT);
                return true;
            }
            memcpy(d->data, &kCapabilities, sizeof kCapabilities);
            complete(client, 0, 0);
            g_object_unref(d);
            return true;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            if (!readUintArg(arg, value)) {
                complete(client, -1, EFAULT);
                return true;
            }
            const uint8_t ep = static_cast<uint8_t>(value);
            {
                std::lock_guard guard(lock);
                haltedEps[ep] = false;
            }
            const bool clear = request == USBDEVFS_CLEAR_HALT;
            record(static_cast<int>(clear ? UsbEvent::ClearHalt : UsbEvent::ResetEndpoint), ep, 0, {});
            if (clear) deviceModel->onClearHalt(*this, ep);
            complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_RESET:
            reset(node, client);
            return true;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
            return claim(node, client, arg, request);
        case USBDEVFS_RELEASEINTERFACE:
            return release(node, client, arg);
        case USBDEVFS_GETDRIVER:
            complete(client, -1, ENODATA);  // no kernel driver bound
            return true;
        default:
            record(static_cast<int>(UsbEvent::Unknown), 0, static_cast<int>(request), {});
            complete(client, -1, ENOTTY);
            return true;
    }
}

// ---- Interface claims -------------------------------------------------------

namespace {
constexpr auto kClaimGrace = std::chrono::milliseconds(500);
constexpr unsigned kClaimRetryMs = 2;
}  // namespace

struct VirtualDevice::DeferredClaim {
    VirtualDevice* device;
    Node* node;
    UMockdevIoctlClient* client;  // referenced
    uint32_t iface;
    std::chrono::steady_clock::time_point until;
};

//
// As usbfs keeps them: interface 0 (the only one) belongs to at most one open
// file. A second file's claim fails with EBUSY; a transfer on the interface
// from a file that has not claimed it claims it on the spot (the kernel logs
// "did not claim interface 0 before use"), or fails with EBUSY when another
// file holds it. A reset unbinds the interface from whoever holds it: the
// holder loses its claim and its transfers in flight end as on a vanished
// device. libusb releases its own claims before a reset and claims again
// after it, so only another file's claim is lost that way.

UMockdevIoctlClient* VirtualDevice::claimantLocked(Node& node) const {
    if (node.claimant != nullptr && !umockdev_ioctl_client_get_connected(node.claimant)) {
        g_object_unref(node.claimant);
        node.claimant = nullptr;
    }
    return node.claimant;
}

void VirtualDevice::setClaimantLocked(Node& node, UMockdevIoctlClient* client) {
    if (node.claimant != nullptr) g_object_unref(node.claimant);
    node.claimant = client != nullptr ? static_cast<UMockdevIoctlClient*>(g_object_ref(client)) : nullptr;
}

void VirtualDevice::dropClaimLocked(Node& node) {
    UMockdevIoctlClient* loser = node.claimant;
    if (loser == nullptr) return;
    for (auto it = node.pending.begin(); it != node.pending.end();) {
        auto next = std::next(it);
        if ((*it)->client == loser && ((*it)->endpoint & 0x7F) != 0) finishLocked(node, it, -ENODEV);
        it = next;
    }
    setClaimantLocked(node, nullptr);
    updateWakeupLocked(node);
}

bool VirtualDevice::claim(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                          unsigned long request) {
    usbdevfs_disconnect_claim how{};
    uint32_t iface = 0;
    if (request == USBDEVFS_DISCONNECT_CLAIM) {
        GError* err = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof how, &err);
        if (d == nullptr) {
            g_clear_error(&err);
            complete(client, -1, EFAULT);
            return true;
        }
        memcpy(&how, d->data, sizeof how);
        g_object_unref(d);
        iface = how.interface;
    } else if (!readUintArg(arg, iface)) {
        complete(client, -1, EFAULT);
        return true;
    }
    // The driver bound to a claimed interface is usbfs; the flags of a
    // disconnecting claim say whether to take it from there.
    const bool spareUsbfs = request == USBDEVFS_DISCONNECT_CLAIM &&
                            (((how.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 &&
                              strncmp(how.driver, "usbfs", sizeof how.driver) == 0) ||
                             ((how.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 &&
                              strncmp(how.driver, "usbfs", sizeof how.driver) != 0));
    int error = 0;
    bool later = false;
    {
        std::lock_guard guard(lock);
        UMockdevIoctlClient* holder = claimantLocked(node);
        const bool disconnecting = request == USBDEVFS_DISCONNECT_CLAIM;
        if (iface != 0) {
            error = disconnecting ? EINVAL : ENOENT;
        } else if (disconnecting && holder != nullptr) {
            // usbfs is the driver bound to a claimed interface, whoever
            // claimed it: spared, or unbound (the holder loses it).
            if (spareUsbfs)
                error = EBUSY;
            else
                dropClaimLocked(node);
        } else if (holder != nullptr && holder != client) {
            later = true;
        }
        if (later) ++deferredClaims;
    }
    if (later) {
        // The kernel answers at once: a process that died has had its files
        // closed before anyone else can ask. umockdev's worker sees a dead
        // client's connection close only a few turns of its loop later, so
        // the claim looks again for a moment before it is refused.
        auto* deferred =
            new DeferredClaim{this, &node, static_cast<UMockdevIoctlClient*>(g_object_ref(client)), iface,
                              std::chrono::steady_clock::now() + kClaimGrace};
        GMainContext* worker = g_main_context_ref_thread_default();
        GSource* source = g_timeout_source_new(kClaimRetryMs);
        g_source_set_callback(source, reinterpret_cast<GSourceFunc>(&VirtualDevice::retryClaim), deferred,
                              nullptr);
        g_source_attach(source, worker);
        g_source_unref(source);
        g_main_context_unref(worker);
        return true;
    }
    finishClaim(node, client, iface, error);
    return true;
}

void VirtualDevice::finishClaim(Node& node, UMockdevIoctlClient* client, uint32_t iface, int error) {
    {
        std::lock_guard guard(lock);
        if (error == 0) setClaimantLocked(node, client);
    }
    pendingChanged.notify_all();
    record(static_cast<int>(UsbEvent::Claim), static_cast<uint8_t>(iface), -error, {});
    complete(client, error == 0 ? 0 : -1, error);
}

int VirtualDevice::retryClaim(void* data) {
    auto* deferred = static_cast<DeferredClaim*>(data);
    VirtualDevice& self = *deferred->device;
    int error = 0;
    {
        std::lock_guard guard(self.lock);
        UMockdevIoctlClient* holder = self.claimantLocked(*deferred->node);
        if (deferred->node->gone) {
            error = ENODEV;
        } else if (holder != nullptr && holder != deferred->client) {
            if (std::chrono::steady_clock::now() < deferred->until) return G_SOURCE_CONTINUE;
            error = EBUSY;
        }
    }
    self.finishClaim(*deferred->node, deferred->client, deferred->iface, error);
    g_object_unref(deferred->client);
    {
        std::lock_guard guard(self.lock);
        --self.deferredClaims;
    }
    self.pendingChanged.notify_all();
    delete deferred;
    return G_SOURCE_REMOVE;
}

bool VirtualDevice::release(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    uint32_t iface = 0;
    if (!readUintArg(arg, iface)) {
        complete(client, -1, EFAULT);
        return true;
    }
    int error = EINVAL;  // not claimed by this file
    {
        std::lock_guard guard(lock);
        if (iface == 0 && claimantLocked(node) == client) {
            setClaimantLocked(node, nullptr);
            error = 0;
        }
    }
    record(static_cast<int>(UsbEvent::Release), static_cast<uint8_t>(iface), -error, {});
    complete(client, error == 0 ? 0 : -1, error);
    return true;
}

void VirtualDevice::reset(Node& node, UMockdevIoctlClient* client) {
    {
        std::lock_guard guard(lock);
        claimantLocked(node);
        dropClaimLocked(node);
    }
    pendingChanged.notify_all();
    record(static_cast<int>(UsbEvent::Reset), 0, 0, {});
    deviceModel->onReset(*this);
    complete(client, 0, 0);
}

bool VirtualDevice::submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* err = nullptr;
    auto urb = std::make_unique<Urb>();
    urb->urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    if (urb->urbData == nullptr) {
        g_clear_error(&err);
        complete(client, -1, EFAULT);
        return true;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb->urbData->data);
    urb->endpoint = u->endpoint;
    urb->length = u->buffer_length;
    if (u->buffer_length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(urb->urbData, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<gsize>(u->buffer_length), &err);
        if (urb->buffer == nullptr) {
            g_clear_error(&err);
            complete(client, -1, EFAULT);
            return true;
        }
    }
    urb->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));

    const uint8_t ep = urb->endpoint;
    std::vector<uint8_t> outData;
    bool deliver = false;
    bool waitsForData = false;
    std::chrono::milliseconds unstallAfter{0};
    {
        std::lock_guard guard(lock);
        if (node.gone) {
            complete(client, -1, ENODEV);
            return true;
        }
        // Connections that went away leave their transfers behind; drop them.
        for (auto* list : {&node.pending, &node.finished})
            list->remove_if([](const std::unique_ptr<Urb>& x) {
                return !umockdev_ioctl_client_get_connected(x->client);
            });

        const bool control = u->type == USBDEVFS_URB_TYPE_CONTROL;
        if (!control && (ep & 0x7F) != 0) {
            UMockdevIoctlClient* holder = claimantLocked(node);
            if (holder != client) {
                record(static_cast<int>(UsbEvent::UnclaimedUse), ep, holder != nullptr ? -EBUSY : 0, {});
                if (holder != nullptr) {
                    complete(client, -1, EBUSY);
                    return true;
                }
                setClaimantLocked(node, client);
            }
        }

        if (hostile && !haltedEps[ep] && hostility.stallPct > 0 &&
            std::find(hostility.stallEps.begin(), hostility.stallEps.end(), ep) != hostility.stallEps.end() &&
            static_cast<int>(hostileRng() % 100) < hostility.stallPct) {
            haltedEps[ep] = true;
            ++counts.stalls;
            unstallAfter = std::chrono::milliseconds(std::max(1, hostility.stallMs));
        }
        const bool isHalted = haltedEps.count(ep) != 0 && haltedEps[ep];
        if (control && urb->length >= 8) {
            // Standard requests the device answers (its string descriptors);
            // anything else stalls.
            std::vector<uint8_t> setup(urb->buffer->data, urb->buffer->data + 8);
            std::vector<uint8_t> answer;
            const bool known = answerDescriptorRequest(deviceLayout, setup.data(), answer);
            if (known && answer.size() > static_cast<size_t>(urb->length - 8))
                answer.resize(static_cast<size_t>(urb->length - 8));
            record(static_cast<int>(UsbEvent::Control), 0, known ? 0 : -EPIPE, setup);
            urb->control = true;
            urb->actual = static_cast<int>(answer.size());
            urb->completion = std::move(answer);
            node.pending.push_back(std::move(urb));
            finishLocked(node, std::prev(node.pending.end()), known ? 0 : -EPIPE);
        } else if (control || u->type == USBDEVFS_URB_TYPE_ISO) {
            // Not used by the adapters: refuse like a stalled pipe.
            node.pending.push_back(std::move(urb));
            finishLocked(node, std::prev(node.pending.end()), -EPIPE);
        } else if (isIn(ep)) {
            node.pending.push_back(std::move(urb));
            if (isHalted) finishLocked(node, std::prev(node.pending.end()), -EPIPE);
            matchLocked(node);
            waitsForData = countLocked(false, ep) > 0;
        } else {
            if (urb->buffer != nullptr) outData.assign(urb->buffer->data, urb->buffer->data + urb->length);
            record(static_cast<int>(UsbEvent::Out), ep, isHalted ? -EPIPE : 0, outData);
            urb->actual = urb->length;
            node.pending.push_back(std::move(urb));
            finishLocked(node, std::prev(node.pending.end()), isHalted ? -EPIPE : 0);
            deliver = !isHalted;
        }
        updateWakeupLocked(node);
    }
    pendingChanged.notify_all();
    complete(client, 0, 0);
    // A hostile stall: the device clears it by itself a little later.
    if (unstallAfter.count() > 0)
        bench.after(unstallAfter, [this, ep] {
            std::lock_guard guard(lock);
            haltedEps[ep] = false;
        });
    if (deliver) deviceModel->onOut(*this, ep, outData);
    if (waitsForData) deviceModel->onInReady(*this, ep);
    return true;
}

bool VirtualDevice::reap(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::unique_ptr<Urb> done;
    bool gone;
    {
        std::lock_guard guard(lock);
        gone = node.gone;
        for (auto it = node.finished.begin(); it != node.finished.end(); ++it) {
            if ((*it)->client == client) {
                done = std::move(*it);
                node.finished.erase(it);
                break;
            }
        }
        updateWakeupLocked(node);
    }
    if (!done) {
        complete(client, -1, gone ? ENODEV : EAGAIN);
        return true;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(done->urbData->data);
    if ((isIn(done->endpoint) || done->control) && done->buffer != nullptr && done->actual > 0)
        memcpy(done->buffer->data + (done->control ? 8 : 0), done->completion.data(),
               static_cast<size_t>(done->actual));
    u->status = done->status;
    u->actual_length = done->actual;

    GError* err = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &err);
    if (slot == nullptr) {
        g_clear_error(&err);
        complete(client, -1, EFAULT);
        return true;
    }
    // The client's URB pointer now names its own URB, written back with the
    // URB and its buffer when the ioctl completes.
    umockdev_ioctl_data_set_ptr(slot, 0, done->urbData);
    complete(client, 0, 0);
    g_object_unref(slot);
    return true;
}

bool VirtualDevice::discard(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    unsigned long address = 0;
    memcpy(&address, arg->data, sizeof address);
    bool found = false;
    uint8_t ep = 0;
    {
        std::lock_guard guard(lock);
        for (auto it = node.pending.begin(); it != node.pending.end(); ++it) {
            if ((*it)->client == client && (*it)->urbData->client_addr == address) {
                ep = (*it)->endpoint;
                finishLocked(node, it, -ENOENT);
                found = true;
                break;
            }
        }
        updateWakeupLocked(node);
    }
    if (!found) {
        complete(client, -1, EINVAL);  // already finished
        return true;
    }
    record(static_cast<int>(UsbEvent::Discard), ep, -ENOENT, {});
    pendingChanged.notify_all();
    complete(client, 0, 0);
    return true;
}

}  // namespace ycansim
