#include "sim/usbip/usbip_device.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace ycansim {

namespace {

// The protocol's commands and directions (the kernel's usbip_common.h).
constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr uint32_t kDirOut = 0, kDirIn = 1;
constexpr size_t kHeaderSize = 48;
// More than any transfer of ours; a larger one ends the connection.
constexpr int32_t kMaxTransfer = 1 << 20;

constexpr int kStall = -EPIPE;
constexpr int kUnlinked = -ECONNRESET;

uint32_t be32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return ntohl(v);
}

void putBe32(uint8_t* p, uint32_t v) {
    v = htonl(v);
    memcpy(p, &v, 4);
}

// Reads exactly n bytes; false at the end of the connection.
bool readAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

// A command from the kernel: the basic header and the submit or unlink part.
struct UsbipDevice::Header {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    int32_t length = 0;         // CMD_SUBMIT: transfer_buffer_length
    uint32_t unlinkSeqnum = 0;  // CMD_UNLINK: the URB to cancel
    uint8_t setup[8] = {};

    uint8_t address() const { return static_cast<uint8_t>(ep | (direction == kDirIn ? 0x80 : 0)); }
};

UsbipDevice::UsbipDevice(DeviceLayout layout, std::shared_ptr<DeviceModel> model, TimerThread& t)
    : deviceLayout(std::move(layout)), deviceModel(std::move(model)), timer(t) {}

UsbipDevice::~UsbipDevice() { disconnect(); }

void UsbipDevice::connect(int fd) {
    disconnect();
    std::lock_guard guard(lock);
    socketFd = fd;
    ownedFd = fd;
    pending.clear();
    inQueue.clear();
    reader = std::thread([this, fd] { serve(fd); });
}

void UsbipDevice::disconnect() {
    int fd;
    std::thread ending;
    {
        std::lock_guard guard(lock);
        fd = ownedFd;
        ownedFd = -1;
        socketFd = -1;
        pending.clear();
        inQueue.clear();
        ending = std::move(reader);
    }
    if (fd >= 0) shutdown(fd, SHUT_RDWR);  // wakes the reader
    if (ending.joinable()) ending.join();
    if (fd >= 0) close(fd);
}

bool UsbipDevice::connected() const {
    std::lock_guard guard(lock);
    return socketFd >= 0;
}

void UsbipDevice::serve(int fd) {
    std::vector<uint8_t> out;
    for (;;) {
        uint8_t raw[kHeaderSize];
        if (!readAll(fd, raw, sizeof raw)) break;
        Header h;
        h.command = be32(raw);
        h.seqnum = be32(raw + 4);
        h.direction = be32(raw + 12);
        h.ep = be32(raw + 16);
        if (h.command == kCmdSubmit) {
            h.length = static_cast<int32_t>(be32(raw + 24));
            memcpy(h.setup, raw + 40, 8);
            if (h.length < 0 || h.length > kMaxTransfer) break;
            out.assign(h.direction == kDirOut ? static_cast<size_t>(h.length) : 0, 0);
            if (!out.empty() && !readAll(fd, out.data(), out.size())) break;
            submit(h, out);
        } else if (h.command == kCmdUnlink) {
            h.unlinkSeqnum = be32(raw + 20);
            unlink(h);
        } else {
            break;  // not the protocol: the kernel would drop the port too
        }
    }
    std::lock_guard guard(lock);
    if (socketFd == fd) {
        // The kernel let go of the port (detached, or the connection broke).
        socketFd = -1;
        pending.clear();
        inQueue.clear();
    }
}

void UsbipDevice::submit(const Header& h, const std::vector<uint8_t>& out) {
    if (h.ep == 0) {
        control(h, out);
        return;
    }
    const uint8_t address = h.address();
    if (h.direction == kDirOut) {
        // OUT transfers complete at once; the model sees the data after.
        if (!replySubmit(h, 0, {})) return;
        deviceModel->onOut(*this, address, out);
        return;
    }
    bool waitsForData;
    {
        std::lock_guard guard(lock);
        if (socketFd < 0) return;
        pending.push_back({h.seqnum, address, static_cast<uint32_t>(h.length)});
        matchLocked();
        auto q = inQueue.find(address);
        const size_t queued = q == inQueue.end() ? 0 : q->second.size();
        const auto waiting = std::count_if(pending.begin(), pending.end(),
                                           [&](const PendingIn& p) { return p.endpoint == address; });
        waitsForData = static_cast<size_t>(waiting) > queued;
    }
    if (waitsForData) deviceModel->onInReady(*this, address);
}

void UsbipDevice::control(const Header& h, const std::vector<uint8_t>& out) {
    (void)out;  // no request of ours carries data to the device
    const uint8_t* s = h.setup;
    const uint8_t type = s[0], request = s[1];
    const unsigned value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetConfiguration = 9, kSetInterface = 11;
    constexpr unsigned kEndpointHalt = 0;
    std::vector<uint8_t> answer;
    if (answerDescriptorRequest(deviceLayout, s, answer)) {
        replySubmit(h, 0, answer);
    } else if (type == 0x00 && request == kSetConfiguration && value <= 1) {
        {
            std::lock_guard guard(lock);
            inQueue.clear();
        }
        replySubmit(h, 0, {});
        deviceModel->onReset(*this);
    } else if (type == 0x01 && request == kSetInterface && value == 0 && index == 0) {
        replySubmit(h, 0, {});
    } else if (type == 0x02 && request == kClearFeature && value == kEndpointHalt) {
        replySubmit(h, 0, {});
        deviceModel->onClearHalt(*this, static_cast<uint8_t>(index));
    } else if ((type & 0x80) != 0 && request == kGetStatus && type <= 0x82) {
        replySubmit(h, 0, {0, 0});
    } else {
        replySubmit(h, kStall, {});
    }
}

void UsbipDevice::unlink(const Header& h) {
    std::lock_guard guard(lock);
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const PendingIn& p) { return p.seqnum == h.unlinkSeqnum; });
    // Found: it ends as cancelled and gets no RET_SUBMIT. Not found: it was
    // answered already, and the kernel gives it back with that answer.
    const int32_t status = it != pending.end() ? kUnlinked : 0;
    if (it != pending.end()) pending.erase(it);
    replyLocked(kRetUnlink, h.seqnum, h.direction, h.ep, status, 0, {});
}

bool UsbipDevice::replySubmit(const Header& h, int32_t status, const std::vector<uint8_t>& data) {
    std::lock_guard guard(lock);
    // An OUT transfer that went through moved all it carried.
    const int32_t actual =
        h.direction == kDirOut ? (status == 0 ? h.length : 0) : static_cast<int32_t>(data.size());
    return replyLocked(kRetSubmit, h.seqnum, h.direction, h.ep, status, actual, data);
}

bool UsbipDevice::replyLocked(uint32_t command, uint32_t seqnum, uint32_t direction, uint32_t ep,
                              int32_t status, int32_t actualLength, const std::vector<uint8_t>& data) {
    if (socketFd < 0) return false;
    uint8_t raw[kHeaderSize] = {};
    putBe32(raw, command);
    putBe32(raw + 4, seqnum);
    putBe32(raw + 12, direction);
    putBe32(raw + 16, ep);
    putBe32(raw + 20, static_cast<uint32_t>(status));
    if (command == kRetSubmit) putBe32(raw + 24, static_cast<uint32_t>(actualLength));
    iovec parts[2] = {{raw, sizeof raw}, {const_cast<uint8_t*>(data.data()), data.size()}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = data.empty() ? 1 : 2;
    size_t left = sizeof raw + data.size();
    while (left > 0) {
        const ssize_t sent = sendmsg(socketFd, &msg, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        left -= static_cast<size_t>(sent);
        // Skip what went out.
        size_t done = static_cast<size_t>(sent);
        while (done > 0 && msg.msg_iovlen > 0) {
            const size_t take = std::min(done, msg.msg_iov->iov_len);
            msg.msg_iov->iov_base = static_cast<uint8_t*>(msg.msg_iov->iov_base) + take;
            msg.msg_iov->iov_len -= take;
            done -= take;
            if (msg.msg_iov->iov_len == 0) {
                ++msg.msg_iov;
                --msg.msg_iovlen;
            }
        }
    }
    return true;
}

void UsbipDevice::pushIn(uint8_t ep, std::vector<uint8_t> data) {
    std::lock_guard guard(lock);
    if (socketFd < 0) return;  // nobody to send to
    inQueue[ep].push_back(std::move(data));
    matchLocked();
}

void UsbipDevice::pushInAfter(uint8_t ep, std::vector<uint8_t> data, std::chrono::milliseconds delay) {
    timer.after(delay, [this, ep, data = std::move(data)]() mutable { pushIn(ep, std::move(data)); });
}

size_t UsbipDevice::inRoom(uint8_t ep) const {
    std::lock_guard guard(lock);
    auto q = inQueue.find(ep);
    size_t queued = q == inQueue.end() ? 0 : q->second.size();
    for (const PendingIn& p : pending) {
        if (p.endpoint != ep) continue;
        if (queued == 0) return p.length;
        --queued;
    }
    return 0;
}

int UsbipDevice::pendingIn(uint8_t ep) const {
    std::lock_guard guard(lock);
    return static_cast<int>(
        std::count_if(pending.begin(), pending.end(), [&](const PendingIn& p) { return p.endpoint == ep; }));
}

void UsbipDevice::matchLocked() {
    for (auto it = pending.begin(); it != pending.end();) {
        auto q = inQueue.find(it->endpoint);
        if (q == inQueue.end() || q->second.empty()) {
            ++it;
            continue;
        }
        std::vector<uint8_t>& chunk = q->second.front();
        const size_t n = std::min<size_t>(chunk.size(), it->length);
        std::vector<uint8_t> part(chunk.begin(), chunk.begin() + static_cast<long>(n));
        if (n < chunk.size())
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(n));
        else
            q->second.pop_front();
        const PendingIn done = *it;
        it = pending.erase(it);
        const auto actual = static_cast<int32_t>(part.size());
        if (!replyLocked(kRetSubmit, done.seqnum, kDirIn, done.endpoint & 0x0F, 0, actual, part)) return;
    }
}

}  // namespace ycansim
