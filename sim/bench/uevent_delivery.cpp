// Uevents to listeners that come and go.
//
// umockdev sends each uevent to every client's monitor socket, found by
// name in the testbed directory ("event<fd>"), and aborts the whole process
// when one of them cannot take it: a socket file that disappears between
// the listing and the connect (a client re-binding a monitor under the same
// fd number unlinks it first), a client that closes its monitor between
// the connect and the send, or one whose buffer is full. A program run on
// the bench that creates and destroys libusb contexts while devices come
// and go hits these windows within seconds.
//
// The kernel never fails the sender of a uevent: a listener that is gone
// or not reading misses the event, nobody else notices. connect() and
// sendmsg() are interposed here (the executable's definitions come before
// the preload's and libc's) to give the bench the same rule for those
// sockets, and only for those: every other call passes through unchanged.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "sim/bench/usb_bench.h"

namespace {

using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
using SendmsgFn = ssize_t (*)(int, const msghdr*, int);

// A testbed client's uevent socket: an AF_UNIX path whose last component is
// "event" followed by digits.
bool isUeventListener(const sockaddr* address, socklen_t length) {
    if (address == nullptr || length <= offsetof(sockaddr_un, sun_path)) return false;
    const auto* un = reinterpret_cast<const sockaddr_un*>(address);
    if (un->sun_family != AF_UNIX) return false;
    const size_t room = std::min<size_t>(length - offsetof(sockaddr_un, sun_path), sizeof un->sun_path);
    const size_t len = strnlen(un->sun_path, room);
    const std::string_view path(un->sun_path, len);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view name = path.substr(slash + 1);
    if (name.size() <= 5 || name.substr(0, 5) != "event") return false;
    for (char c : name.substr(5))
        if (c < '0' || c > '9') return false;
    return true;
}

// The sockets connected to a listener, by fd, as the inode of the socket
// (0: none). The send carries no address to recognise them by, and an fd
// may have been closed and reused since: the inode tells.
constexpr int kTrackedFds = 4096;
std::array<std::atomic<uint64_t>, kTrackedFds> listenerSockets{};

uint64_t socketInode(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? static_cast<uint64_t>(st.st_ino) : 0;
}

void track(int fd, bool listener) {
    if (fd < 0 || fd >= kTrackedFds) return;
    listenerSockets[static_cast<size_t>(fd)].store(listener ? socketInode(fd) : 0, std::memory_order_relaxed);
}

bool connectedToListener(int fd) {
    if (fd < 0 || fd >= kTrackedFds) return false;
    const uint64_t inode = listenerSockets[static_cast<size_t>(fd)].load(std::memory_order_relaxed);
    return inode != 0 && inode == socketInode(fd);
}

template <typename Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    static const auto real = next<ConnectFn>("connect");
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const bool listener = isUeventListener(address, length);
    track(fd, listener);
    const int result = real(fd, address, length);
    if (result == 0 || !listener) return result;
    // A refusal stays one: the caller removes the stale socket file. Any
    // other failure (the file gone or not yet there) leaves the socket
    // unconnected; the send that follows is dropped below.
    if (errno == ECONNREFUSED) return result;
    return 0;
}

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    static const auto real = next<SendmsgFn>("sendmsg");
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t sent = real(fd, message, flags);
    if (sent >= 0 || message == nullptr || !connectedToListener(fd)) return sent;
    // The listener went away or is not reading: the event is lost for it,
    // as the kernel loses it for a monitor that does not keep up.
    size_t total = 0;
    for (size_t i = 0; i < message->msg_iovlen; ++i) total += message->msg_iov[i].iov_len;
    return static_cast<ssize_t>(total);
}

namespace ycansim {

// Referenced by the bench so that this object, and with it the two
// definitions above, is linked into every program that has a bench.
bool ueventDeliveryTolerant() { return true; }

}  // namespace ycansim
