#include "tools/ycan/can_interface.h"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/can/vxcan.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
    // Room for bursts (cangen -g 0 writes faster than anything reads): the
    // size asked for where the process may exceed the system's limit, else
    // as much as that limit allows.
    if (receiveBuffer > 0) {
        const int want = static_cast<int>(std::min<size_t>(receiveBuffer, 1u << 30));
        if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) < 0)
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    }
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

int CanInterface::read(canfd_frame* frames, size_t* sizes, size_t max) {
    if (sock < 0) return -1;
    constexpr size_t kMost = 64;
    max = std::min(max, kMost);
    iovec io[kMost];
    mmsghdr msgs[kMost];
    alignas(cmsghdr) char control[kMost][CMSG_SPACE(sizeof(uint32_t))];
    for (;;) {
        for (size_t k = 0; k < max; ++k) {
            io[k] = {&frames[k], sizeof(canfd_frame)};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_iov = &io[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
            msgs[k].msg_hdr.msg_control = control[k];
            msgs[k].msg_hdr.msg_controllen = sizeof control[k];
        }
        const int n = recvmmsg(sock, msgs, static_cast<unsigned>(max), MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            close();
            return -1;
        }
        if (n == 0) return 0;
        size_t kept = 0;
        for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
            msghdr& m = msgs[k].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                    memcpy(&dropsNow, CMSG_DATA(c), sizeof dropsNow);
            const size_t len = msgs[k].msg_len;
            if (len != CAN_MTU && len != CANFD_MTU) continue;  // not a frame this socket carries
            if (kept != k) frames[kept] = frames[k];
            sizes[kept++] = len;
        }
        if (kept > 0) return static_cast<int>(kept);
    }
}

size_t CanInterface::write(const canfd_frame* frames, const size_t* sizes, size_t count, bool& lost) {
    constexpr size_t kMost = 64;
    iovec io[kMost];
    mmsghdr msgs[kMost];
    size_t done = 0, written = 0;
    while (done < count) {
        if (sock < 0) {
            lost = true;
            return written;
        }
        const size_t n = std::min(count - done, kMost);
        for (size_t k = 0; k < n; ++k) {
            io[k] = {const_cast<canfd_frame*>(&frames[done + k]), sizes[done + k]};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_iov = &io[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(sock, msgs, static_cast<unsigned>(n), MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            written += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && gone(errno)) {
            close();
            lost = true;
            return written;
        }
        // No room (or a frame the interface refused): this one is dropped.
        ++done;
    }
    return written;
}

bool CanInterface::writeError(canid_t classes) {
    if (sock < 0) return false;
    can_frame f{};
    f.can_id = CAN_ERR_FLAG | classes;
    f.len = CAN_ERR_DLC;
    return send(sock, &f, CAN_MTU, MSG_DONTWAIT) == static_cast<ssize_t>(CAN_MTU);
}

namespace {

// A routing request with its attributes, sent and acknowledged: true when
// the kernel did it; else why not.
struct LinkRequest {
    nlmsghdr header;
    ifinfomsg info;
    char attributes[256];

    LinkRequest(unsigned short type, unsigned short flags) : header{}, info{}, attributes{} {
        header.nlmsg_type = type;
        header.nlmsg_flags = static_cast<unsigned short>(NLM_F_REQUEST | NLM_F_ACK | flags);
        header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        info.ifi_family = AF_UNSPEC;
    }
    rtattr* add(unsigned short type, const void* data, size_t len) {
        auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(this) + NLMSG_ALIGN(header.nlmsg_len));
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        if (len > 0) memcpy(RTA_DATA(a), data, len);
        header.nlmsg_len = NLMSG_ALIGN(header.nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    }
    // Closes an attribute opened with add(type, nullptr, 0) around the ones
    // added since.
    void nest(rtattr* a) {
        a->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(this) + header.nlmsg_len -
                                                 reinterpret_cast<char*>(a));
    }
    bool send(std::string& why) {
        const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (s < 0) {
            why = "no netlink socket: " + errnoText(errno);
            return false;
        }
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(s, this, header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
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
};

}  // namespace

bool createVxcanPair(const std::string& name, const std::string& peer, std::string& why) {
    for (const std::string* n : {&name, &peer})
        if (n->size() >= IFNAMSIZ) {
            why = "interface name " + *n + " is too long";
            return false;
        }
    LinkRequest request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    request.info.ifi_flags = IFF_UP;
    request.info.ifi_change = IFF_UP;
    request.add(IFLA_IFNAME, name.c_str(), name.size() + 1);
    const unsigned mtu = CANFD_MTU;
    request.add(IFLA_MTU, &mtu, sizeof mtu);
    rtattr* linkInfo = request.add(IFLA_LINKINFO, nullptr, 0);
    request.add(IFLA_INFO_KIND, "vxcan", 6);
    rtattr* data = request.add(IFLA_INFO_DATA, nullptr, 0);
    // The peer: its own link header, then its attributes. It is set up
    // afterwards: while the pair is being made it has no peer to open with.
    ifinfomsg peerInfo{};
    peerInfo.ifi_family = AF_UNSPEC;
    rtattr* peerAttr = request.add(VXCAN_INFO_PEER, &peerInfo, sizeof peerInfo);
    request.add(IFLA_IFNAME, peer.c_str(), peer.size() + 1);
    request.add(IFLA_MTU, &mtu, sizeof mtu);
    request.nest(peerAttr);
    request.nest(data);
    request.nest(linkInfo);
    if (!request.send(why)) return false;
    if (setLinkUp(peer, true, why)) return true;
    std::string ignored;
    deleteInterface(name, ignored);
    return false;
}

bool setLinkUp(const std::string& name, bool up, std::string& why) {
    const unsigned index = name.size() < IFNAMSIZ ? if_nametoindex(name.c_str()) : 0;
    if (index == 0) {
        why = "no interface " + name;
        return false;
    }
    LinkRequest request(RTM_NEWLINK, 0);
    request.info.ifi_index = static_cast<int>(index);
    request.info.ifi_flags = up ? IFF_UP : 0;
    request.info.ifi_change = IFF_UP;
    return request.send(why);
}

bool interfaceExists(const std::string& name) {
    return name.size() < IFNAMSIZ && if_nametoindex(name.c_str()) != 0;
}

bool hasCarrier(const std::string& name) {
    const unsigned index = name.size() < IFNAMSIZ ? if_nametoindex(name.c_str()) : 0;
    if (index == 0) return false;
    const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) return false;
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(index);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char reply[8192];
    ssize_t n = -1;
    if (sendto(s, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) >= 0)
        n = recv(s, reply, sizeof reply, 0);
    ::close(s);
    const auto* answer = reinterpret_cast<const nlmsghdr*>(reply);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(ifinfomsg))) || answer->nlmsg_type != RTM_NEWLINK) return false;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(answer));
    constexpr unsigned kLowerUp = 1u << 16;  // IFF_LOWER_UP: the carrier
    return (info->ifi_flags & IFF_UP) != 0 && (info->ifi_flags & kLowerUp) != 0;
}

std::string bridgeEndName(const std::string& name) {
    if (name.size() <= 10) return name + "-ycan";
    uint32_t h = 2166136261u;  // FNV-1a
    for (const char c : name) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    char tail[6];
    snprintf(tail, sizeof tail, "-%04x", h & 0xFFFF);
    return name.substr(0, 10) + tail;
}

bool deleteInterface(const std::string& name, std::string& why) {
    if (name.size() >= IFNAMSIZ) {
        why = "interface name " + name + " is too long";
        return false;
    }
    LinkRequest request(RTM_DELLINK, 0);
    request.add(IFLA_IFNAME, name.c_str(), name.size() + 1);
    return request.send(why);
}

}  // namespace ycantool
