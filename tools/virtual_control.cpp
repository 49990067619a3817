#include "tools/virtual_control.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "drivers/common/adapter_models.h"
#include "sim/bench/usb_bench.h"
#include "sim/recorder/recorder_adapter.h"
#include "tools/virtual_frames.h"
#include "tools/ycan/frame_text.h"

using namespace std::chrono_literals;

namespace ycanvirtual {

namespace {

// The USB id the library looks for when it opens TYPE; false for a type
// it does not open.
bool idsOfType(uint32_t type, uint16_t& vendor, uint16_t& product) {
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (model == nullptr || model->vendorId == 0) return false;
    vendor = model->vendorId;
    product = model->productId;
    return true;
}

bool parseUnsigned(const std::string& s, uint32_t& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = static_cast<uint32_t>(std::stoul(s));
    return true;
}

// TYPE:INDEX or TYPE:INDEX:CH.
bool parseAddress(const std::string& text, bool withChannel, uint32_t& type, uint32_t& index, uint32_t& ch) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
    if (parts.size() != (withChannel ? 3u : 2u)) return false;
    ch = 0;
    return parseUnsigned(parts[0], type) && parseUnsigned(parts[1], index) &&
           (!withChannel || parseUnsigned(parts[2], ch));
}

uint32_t now() { return static_cast<uint32_t>(ycansim::UsbBench::nowUs()); }

std::string hex(uint32_t v, int width) {
    char b[16];
    snprintf(b, sizeof b, "%0*X", width, v);
    return b;
}

std::string describe(const ycansim::FdChannelState& s) {
    std::string out =
        "ok started=" + std::to_string(s.started ? 1 : 0) + " starts=" + std::to_string(s.starts);
    if (s.timingSet)
        out += " abit=" + std::to_string(s.abit.bitRate()) + " dbit=" + std::to_string(s.dbit.bitRate());
    out += std::string(" filter=") + (s.filterEnabled ? "on" : "off");
    for (const auto& r : s.filters) {
        const char* kind = r.operation == 2 ? "std" : r.operation == 3 ? "ext" : "any";
        out += std::string(" ") + kind + ":" + hex(r.startId, 3) + "-" + hex(r.endId, 3);
    }
    return out;
}

std::string describe(const ycansim::ClassicChannelState& s) {
    return "ok started=" + std::to_string(s.initialised && s.starts > 0 ? 1 : 0) +
           " starts=" + std::to_string(s.starts) + " btr=" + hex(s.busTiming0, 2) + "," +
           hex(s.busTiming1, 2);
}

}  // namespace

ControlServer::ControlServer(Attachment& b, std::vector<ControlledAdapter> list)
    : bench(b), adapters(std::move(list)) {
    const char* tmp = getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): nothing here sets the environment
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ycan-virtual-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a directory for the control socket");
    directory = pattern;
    socketPath = directory + "/control";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long");
    memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    wakeFd = eventfd(0, EFD_CLOEXEC);
    if (listenFd < 0 || wakeFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd, 4) != 0) {
        const std::string why = std::system_category().message(errno);
        if (listenFd >= 0) close(listenFd);
        if (wakeFd >= 0) close(wakeFd);
        unlink(socketPath.c_str());
        rmdir(directory.c_str());
        throw std::runtime_error("control socket: " + why);
    }
    server = std::thread([this] { serve(); });
}

ControlServer::~ControlServer() {
    stopping = true;
    const uint64_t one = 1;
    if (write(wakeFd, &one, sizeof one) < 0) perror("ycan-virtual: waking the control server");
    if (server.joinable()) server.join();
    close(listenFd);
    close(wakeFd);
    unlink(socketPath.c_str());
    rmdir(directory.c_str());
}

bool ControlServer::awaitInput(int fd) const {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

void ControlServer::serve() {
    while (!stopping && awaitInput(listenFd)) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        session(fd);
        close(fd);
    }
}

// One client at a time; it is served until it hangs up or we stop.
void ControlServer::session(int fd) {
    std::string pending;
    char buf[4096];
    while (!stopping && awaitInput(fd)) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string reply = handle(pending.substr(0, nl)) + "\n";
            pending.erase(0, nl + 1);
            for (size_t off = 0; off < reply.size();) {
                const ssize_t w = send(fd, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
                if (w <= 0) return;
                off += static_cast<size_t>(w);
            }
        }
    }
}

const ControlledAdapter* ControlServer::find(uint32_t type, uint32_t index) const {
    uint16_t vendor = 0, product = 0;
    if (!idsOfType(type, vendor, product)) return nullptr;
    // libusb lists the adapter added last first.
    uint32_t seen = 0;
    for (auto it = adapters.rbegin(); it != adapters.rend(); ++it) {
        if (it->vendorId != vendor || it->productId != product) continue;
        if (seen++ == index) return &*it;
    }
    return nullptr;
}

std::string ControlServer::handle(const std::string& line) {
    std::vector<std::string> words;
    std::stringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return "error empty request";
    const std::string& verb = words[0];
    const bool refuse = verb == "refuse";
    const bool plug = verb == "unplug" || verb == "replug" || refuse;
    if (!plug && verb != "inject" && verb != "sent" && verb != "state" && verb != "recorder")
        return "error unknown request " + verb;
    uint32_t type = 0, index = 0, ch = 0;
    if (words.size() < 2 || !parseAddress(words[1], !plug, type, index, ch))
        return plug ? "error expected " + verb + " TYPE:INDEX" : "error expected " + verb + " TYPE:INDEX:CH";
    const ControlledAdapter* a = find(type, index);
    if (a == nullptr) return "error no adapter " + std::to_string(type) + ":" + std::to_string(index);
    if (refuse) {
        if (!a->recorder) return "error " + words[1] + " is not a recorder";
        if (words.size() != 3 || (words[2] != "on" && words[2] != "off"))
            return "error expected refuse TYPE:INDEX on|off";
        a->recorder->setRefuse(words[2] == "on");
        return "ok";
    }
    if (plug) {
        if (verb == "unplug") {
            bench.unplug(*a->device);
        } else if (words.size() == 3) {
            char* end = nullptr;
            const long port = strtol(words[2].c_str(), &end, 10);
            if (*end != '\0' || port < 1 || port > 127) return "error expected replug TYPE:INDEX [PORT 1-127]";
            if (!bench.replugAt(*a->device, static_cast<int>(port)))
                return "error this attachment plugs back into the same port only";
        } else {
            bench.replug(*a->device);
        }
        return "ok";
    }
    if (verb == "recorder") {
        if (!a->recorder) return "error " + words[1] + " is not a recorder";
        if (ch >= 2) return "error no channel " + std::to_string(ch) + " on " + words[1];
        std::string reply = "ok settings ";
        char hex[16];
        for (const uint8_t b : a->recorder->settings(ch)) {
            snprintf(hex, sizeof hex, "%02X", b);
            reply += hex;
        }
        reply += a->recorder->filterEnabled(ch) ? " filtering on filters" : " filtering off filters";
        for (const ycansim::RecorderFilter& f : a->recorder->filters(ch)) {
            snprintf(hex, sizeof hex, " %u:", f.kind);
            reply += hex;
            snprintf(hex, sizeof hex, "%X-", f.startId);
            reply += hex;
            snprintf(hex, sizeof hex, "%X", f.endId);
            reply += hex;
        }
        return reply;
    }
    if (!a->canFd && !a->classic) return "error " + words[1] + " carries no frames";
    const unsigned channels = a->canFd ? a->canFd->channelCount() : 2;
    if (ch >= channels) return "error no channel " + std::to_string(ch) + " on " + words[1];

    if (verb == "inject") {
        std::vector<ycantool::TextFrame> frames;
        for (size_t i = 2; i < words.size(); ++i) {
            ycantool::TextFrame f;
            std::string why;
            if (!ycantool::parseFrame(words[i], f, why)) return "error " + words[i] + ": " + why;
            if (f.fd && !a->canFd)
                return "error " + words[i] + ": a classic adapter carries no CAN FD frames";
            frames.push_back(f);
        }
        if (a->canFd) {
            std::vector<ycansim::BusFrame> bus;
            bus.reserve(frames.size());
            for (const auto& f : frames) bus.push_back(toBusFrame(f, ch, now()));
            a->canFd->fromBus(*a->device, bus);
        } else {
            std::vector<ycansim::ClassicFrame> bus;
            bus.reserve(frames.size());
            for (const auto& f : frames) bus.push_back(toClassicFrame(f, ch, now()));
            a->classic->fromBus(*a->device, bus);
        }
        return "ok " + std::to_string(frames.size());
    }
    if (verb == "state")
        return a->canFd ? describe(a->canFd->channel(ch)) : describe(a->classic->channel(ch));

    // sent [N [MS]]: what went out since the last time, waiting for N.
    uint32_t want = 0, waitMs = 0;
    if ((words.size() > 2 && !parseUnsigned(words[2], want)) ||
        (words.size() > 3 && !parseUnsigned(words[3], waitMs)) || words.size() > 4)
        return "error expected sent TYPE:INDEX:CH [N [MS]]";
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (a->canFd) {
            for (const auto& b : a->canFd->takeBusFrames(ch))
                out.push_back(ycantool::formatFrame(fromBusFrame(b)));
        } else {
            for (const auto& c : a->classic->takeBusFrames(ch))
                out.push_back(ycantool::formatFrame(fromClassicFrame(c)));
        }
        if (out.size() >= want || std::chrono::steady_clock::now() >= deadline || stopping) break;
        std::this_thread::sleep_for(2ms);
    }
    std::string reply = "ok";
    for (const auto& f : out) reply += " " + f;
    return reply;
}

}  // namespace ycanvirtual
