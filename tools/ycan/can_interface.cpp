#include "tools/ycan/can_interface.h"

#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace ycantool {

namespace {

std::string errnoText(int e) { return std::generic_category().message(e); }

bool gone(int e) { return e == ENETDOWN || e == ENODEV || e == ENXIO || e == ENETUNREACH; }

}  // namespace

bool CanInterface::open(std::string& why) {
    close();
    if (name_.size() >= IFNAMSIZ) {
        why = "interface name " + name_ + " is too long";
        return false;
    }
    const unsigned index = if_nametoindex(name_.c_str());
    if (index == 0) {
        why = "no interface " + name_;
        return false;
    }
    const int s = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) {
        why = "cannot open a CAN socket: " + errnoText(errno) + " (is the kernel's can-raw module loaded?)";
        return false;
    }
    ifreq ifr{};
    memcpy(ifr.ifr_name, name_.c_str(), name_.size() + 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) < 0 || (ifr.ifr_flags & IFF_UP) == 0) {
        why = name_ + " is down";
        ::close(s);
        return false;
    }
    if (ioctl(s, SIOCGIFMTU, &ifr) < 0) {
        why = "cannot read the MTU of " + name_ + ": " + errnoText(errno);
        ::close(s);
        return false;
    }
    fdMtu = ifr.ifr_mtu == static_cast<int>(CANFD_MTU);
    if (!fdMtu && ifr.ifr_mtu != static_cast<int>(CAN_MTU)) {
        why = name_ + " is not a CAN interface (MTU " + std::to_string(ifr.ifr_mtu) + ")";
        ::close(s);
        return false;
    }
    const int on = 1;
    // Frames lost to a full receive buffer are counted, not lost silently.
    setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (fdMtu && setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        why = "cannot enable CAN FD frames on " + name_ + ": " + errnoText(errno);
        ::close(s);
        return false;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        why = "cannot bind to " + name_ + ": " + errnoText(errno);
        ::close(s);
        return false;
    }
    sock = s;
    return true;
}

void CanInterface::close() {
    if (sock >= 0) ::close(sock);
    sock = -1;
    dropsBefore += dropsNow;
    dropsNow = 0;
}

int CanInterface::read(canfd_frame& frame) {
    if (sock < 0) return -1;
    for (;;) {
        iovec io{&frame, sizeof frame};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(sock, &msg, 0);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                memcpy(&dropsNow, CMSG_DATA(c), sizeof dropsNow);
        if (n == static_cast<ssize_t>(CAN_MTU) || n == static_cast<ssize_t>(CANFD_MTU)) return static_cast<int>(n);
        if (n >= 0) continue;  // not a frame this socket carries
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        close();
        return -1;
    }
}

CanInterface::Written CanInterface::write(const canfd_frame& frame, size_t size) {
    if (sock < 0) return Written::Lost;
    for (;;) {
        const ssize_t n = ::write(sock, &frame, size);
        if (n == static_cast<ssize_t>(size)) return Written::Yes;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EWOULDBLOCK)) return Written::QueueFull;
        if (n < 0 && !gone(errno)) return Written::QueueFull;
        close();
        return Written::Lost;
    }
}

bool createVcan(const std::string& name, std::string& why) {
    if (name.size() >= IFNAMSIZ) {
        why = "interface name " + name + " is too long";
        return false;
    }
    const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) {
        why = "no netlink socket: " + errnoText(errno);
        return false;
    }
    struct {
        nlmsghdr header;
        ifinfomsg info;
        char attributes[256];
    } request{};
    request.header.nlmsg_type = RTM_NEWLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_flags = IFF_UP;
    request.info.ifi_change = IFF_UP;
    auto add = [&](unsigned short type, const void* data, size_t len) {
        auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        if (len > 0) memcpy(RTA_DATA(a), data, len);
        request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    };
    add(IFLA_IFNAME, name.c_str(), name.size() + 1);
    const unsigned mtu = CANFD_MTU;
    add(IFLA_MTU, &mtu, sizeof mtu);
    rtattr* linkInfo = add(IFLA_LINKINFO, nullptr, 0);
    add(IFLA_INFO_KIND, "vcan", 5);
    linkInfo->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(&request) + request.header.nlmsg_len -
                                                    reinterpret_cast<char*>(linkInfo));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(s, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        why = "netlink: " + errnoText(errno);
        ::close(s);
        return false;
    }
    char reply[4096];
    const ssize_t n = recv(s, reply, sizeof reply, 0);
    ::close(s);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
        why = "netlink: no answer";
        return false;
    }
    const auto* answer = reinterpret_cast<const nlmsghdr*>(reply);
    if (answer->nlmsg_type != NLMSG_ERROR) {
        why = "netlink: unexpected answer";
        return false;
    }
    const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(answer));
    if (err->error != 0) {
        why = errnoText(-err->error);
        return false;
    }
    return true;
}

}  // namespace ycantool
