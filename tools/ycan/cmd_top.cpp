// ycan top: a live view of an adapter's traffic in the terminal, in the
// spirit of cansniffer and canbusload.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/bus_options.h"
#include "tools/ycan/bus_stats.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/frame_text.h"
#include "ycan.h"

namespace ycantool {

namespace {

// The terminal in single-key mode while the view runs, given back as it
// was however the view ends.
class KeyboardAndScreen {
public:
    KeyboardAndScreen() {
        keys = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
        if (keys) {
            termios raw = saved;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        // The alternate screen, without a cursor.
        fputs("\033[?1049h\033[?25l", out());
        fflush(out());
    }
    ~KeyboardAndScreen() {
        fputs("\033[?25h\033[?1049l", out());
        fflush(out());
        if (keys) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    KeyboardAndScreen(const KeyboardAndScreen&) = delete;
    KeyboardAndScreen& operator=(const KeyboardAndScreen&) = delete;

    // Whether q was pressed (waits up to ms for a key).
    bool quitPressed(int ms) const {
        if (!keys) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return false;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char c = 0;
        while (read(STDIN_FILENO, &c, 1) == 1)
            if (c == 'q' || c == 'Q') return true;
        return false;
    }
    // The terminal's size, 24 x 80 when it has none.
    static winsize size() {
        winsize w{};
        if (ioctl(fileno(out()), TIOCGWINSZ, &w) != 0 || w.ws_row == 0 || w.ws_col == 0) {
            w.ws_row = 24;
            w.ws_col = 80;
        }
        return w;
    }

private:
    bool keys = false;
    termios saved{};
};

void draw(const std::string& title, const BusStats& stats, const BusRates& rates, bool fd) {
    std::string screen = "\033[H\033[2J";
    char line[512];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char clock[16];
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    snprintf(line, sizeof line, "ycan top %s   %s   (q quits)\r\n\r\n", title.c_str(), clock);
    screen += line;
    screen += "CH  FRAMES/S    LOAD  BIT RATE\r\n";
    std::string bitRates = rateName(rates.nominal);
    if (fd) bitRates.append(" / ").append(rateName(rates.data));
    for (const auto& [ch, c] : stats.channels()) {
        snprintf(line, sizeof line, "%2u  %8.0f  %5.1f %%  %s\r\n", ch, c.rate, c.load * 100,
                 bitRates.c_str());
        screen += line;
    }
    screen += "\r\nCH  ID           COUNT    RATE/S  PERIOD ms  LEN  DATA\r\n";
    const winsize size = KeyboardAndScreen::size();
    int room = size.ws_row - 5 - static_cast<int>(stats.channels().size()) - 2;
    // The data bytes that fit beside the columns before them (51 wide).
    const unsigned bytesShown = size.ws_col > 51 + 7 ? (size.ws_col - 51 - 4) / 3 : 1;
    for (const auto& [key, s] : stats.identifiers()) {
        if (room-- <= 0) break;
        const auto& [ch, extended, id] = key;
        char idText[16];
        snprintf(idText, sizeof idText, extended ? "%08X" : "%03X", id);
        snprintf(line, sizeof line, "%2u  %-8s %9llu  %8.1f  %9.1f  %3u%s ", ch, idText,
                 static_cast<unsigned long long>(s.count), s.rate, s.period * 1000, s.frame.len,
                 s.frame.fd ? "F" : (s.frame.remote ? "R" : " "));
        screen += line;
        // Bytes that changed since the frame before, in reverse video.
        for (unsigned k = 0; k < s.frame.len && !s.frame.remote && k < bytesShown; ++k) {
            const bool changed = (s.changed >> k & 1) != 0;
            snprintf(line, sizeof line, " %s%02X%s", changed ? "\033[7m" : "", s.frame.data[k],
                     changed ? "\033[0m" : "");
            screen += line;
        }
        if (s.frame.len > bytesShown && !s.frame.remote) screen += " ...";
        screen += "\r\n";
    }
    fputs(screen.c_str(), out());
    fflush(out());
}

}  // namespace

int topCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(),
                "usage: ycan top TYPE:INDEX[:CH] [bus settings]\n"
                "A live view of the traffic, in the spirit of cansniffer and canbusload: per channel\n"
                "the frames/s and the bus load (without stuff bits) against the bit rates; one line\n"
                "per identifier with its count, rate, period and last data, the bytes that changed\n"
                "since the frame before in reverse video. Every channel of the adapter unless CH is\n"
                "given. q (or Ctrl-C) quits.\n%s",
                kBusHelp);
        return 0;
    }
    Target t;
    BusSettings bus;
    bool haveTarget = false, allChannels = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("top", args, i, bus)) continue;
        if (!a.empty() && a[0] == '-') usageError("top", "unknown option " + a);
        if (haveTarget) usageError("top", "unexpected " + a);
        std::string why;
        if (!parseTarget(a, true, t, why)) usageError("top", why);
        allChannels = std::count(a.begin(), a.end(), ':') == 1;
        haveTarget = true;
    }
    if (!haveTarget) usageError("top", "which adapter? TYPE:INDEX[:CH]");
    std::string why;
    if (!fitToAdapter(t, bus, why)) usageError("top", why);
    const AdapterModel* model = modelOfType(t.type);
    std::vector<uint32_t> channels{t.channel};
    if (allChannels && model != nullptr) {
        channels.clear();
        for (uint32_t ch = 0; ch < model->channels; ++ch) channels.push_back(ch);
    }
    catchInterrupts();
    if (!openAndStartChannels(t, channels, bus)) return 1;
    const bool fd = model->family == AdapterFamily::CanFd;
    const BusRates rates = busRates(t, bus);
    BusStats stats(rates);
    for (uint32_t ch : channels) stats.addChannel(ch);
    char title[48];
    if (allChannels)
        snprintf(title, sizeof title, "%u:%u", t.type, t.index);
    else
        snprintf(title, sizeof title, "%u:%u:%u", t.type, t.index, t.channel);
    std::vector<_YCAN_CAN_OBJ> classic(256);
    std::vector<_YCAN_CANFD_OBJ> fdFrames(256);
    {
        KeyboardAndScreen terminal;
        double lastDraw = unixNow();
        stats.tick(lastDraw);
        draw(title, stats, rates, fd);
        while (!interrupted()) {
            int taken = 0;
            const double now = unixNow();
            for (uint32_t ch : channels) {
                const int n = YCAN_Receive(t.type, t.index, ch, classic.data(), 256, 0);
                for (int k = 0; k < n; ++k) stats.add(ch, fromRecord(classic[static_cast<size_t>(k)]), now);
                taken += std::max(n, 0);
                if (!fd) continue;
                const int m = YCAN_ReceiveFD(t.type, t.index, ch, fdFrames.data(), 256, 0);
                for (int k = 0; k < m; ++k) stats.add(ch, fromRecord(fdFrames[static_cast<size_t>(k)]), now);
                taken += std::max(m, 0);
            }
            if (unixNow() - lastDraw >= 0.5) {
                lastDraw = unixNow();
                stats.tick(lastDraw);
                draw(title, stats, rates, fd);
            }
            // Keys are looked at between takes; an idle bus waits here.
            if (terminal.quitPressed(taken > 0 ? 0 : 10)) break;
        }
    }
    YCAN_CloseDevice(t.type, t.index);
    return 0;
}

}  // namespace ycantool
