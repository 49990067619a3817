// ycan-virtual as a user runs it: the echo demos (and a wrong echo program)
// under virtual adapters, the echo check, the fault schedule, candump output;
// and the ycan tool under it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "eventually.h"
#include "sim/bench/child_process.h"
#include "test_support.h"

using namespace std::chrono_literals;
using ycansim::ChildProcess;

namespace {

struct ToolRun {
    int status;
    std::string output;
};

ToolRun ycanVirtual(std::vector<std::string> args) {
    // The launcher puts the preload (and a sanitizer runtime) in place.
    std::vector<std::string> argv = {YCAN_BENCH_LAUNCHER, YCAN_VIRTUAL};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options piped;
    piped.terminal = false;
    ChildProcess child(argv, piped);
    int status = child.wait(120s);
    return {status, child.output()};
}

// Runs a program directly (no launcher, no adapters) and keeps its standard
// output only; standard error goes to /dev/null.
ToolRun standardOutputOf(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, ""};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out};
}

int summaryCount(const std::string& out, const char* what) {
    std::smatch m;
    std::regex line(R"(echoed (\d+)/(\d+) frames, (\d+) mismatched)");
    if (!std::regex_search(out, m, line)) return -1;
    return std::stoi(m[std::string(what) == "echoed" ? 1 : std::string(what) == "sent" ? 2 : 3]);
}

}  // namespace

TEST(YcanVirtual, ExpectEchoPassesOnBothDemos) {
    ToolRun fd = ycanVirtual({"--canfd", "43", "--inject", "300", "--seed", "11", "--rate", "1000",
                              "--expect-echo", "--quiet", "--", YCAN_CANFD_DEMO});
    EXPECT_EQ(fd.status, 0) << fd.output;
    EXPECT_NE(fd.output.find("echoed 300/300 frames, 0 mismatched\n"), std::string::npos) << fd.output;
    EXPECT_NE(fd.output.find("---fd recv:"), std::string::npos);  // the demo's own output
    EXPECT_NE(fd.output.find("---can recv:"), std::string::npos);

    ToolRun classic = ycanVirtual({"--classic", "1", "--inject", "200", "--seed", "5", "--rate", "1000",
                                   "--expect-echo", "--quiet", "--", YCAN_CLASSIC_DEMO});
    EXPECT_EQ(classic.status, 0) << classic.output;
    EXPECT_NE(classic.output.find("echoed 200/200 frames, 0 mismatched\n"), std::string::npos)
        << classic.output;
}

TEST(YcanVirtual, ExpectEchoFailsWhenFramesComeBackAltered) {
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "20", "--expect-echo", "--quiet", "--duration",
                             "5000", "--", YCAN_ALTER_ECHO});
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_EQ(summaryCount(r.output, "sent"), 20) << r.output;
    EXPECT_EQ(summaryCount(r.output, "mismatched"), 20) << r.output;
    EXPECT_EQ(summaryCount(r.output, "echoed"), 0) << r.output;
}

// The demo exits 0 when it cannot open its adapter: the echo it never gave
// is still a failure.
TEST(YcanVirtual, ExpectEchoFailsWhenTheCommandNeverStartsTheChannel) {
    ToolRun r = ycanVirtual({"--classic", "1", "--inject", "20", "--expect-echo", "--quiet", "--duration",
                             "5000", "--", YCAN_CANFD_DEMO});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Device Open Fail...\n"), std::string::npos) << r.output;
    EXPECT_NE(
        r.output.find("ycan-virtual: the command never started the channel; 0 of 20 frames were sent\n"),
        std::string::npos)
        << r.output;
}

TEST(YcanVirtual, CommandWithoutAdapterEndsWithItsOwnStatus) {
    ToolRun r = ycanVirtual({"--", YCAN_CANFD_DEMO});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Device Open Fail...\n"), std::string::npos) << r.output;
    ToolRun bad = ycanVirtual({"--canfd", "43", "--", YCAN_ALTER_ECHO_MISSING});
    EXPECT_NE(bad.status, 0);
}

TEST(YcanVirtual, DemoKeepsEchoingAcrossAnUnplug) {
    // Frames keep coming (150/s) until 150 have come back, however long the
    // recovery takes on this machine.
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "3000", "--rate", "150", "--unplug-at", "300",
                             "--replug-after", "300", "--until", "150", "--duration", "20000", "--quiet",
                             "--", YCAN_CANFD_DEMO});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ycan-virtual: adapter unplugged"), std::string::npos);
    EXPECT_NE(r.output.find("YORV Tip:USBCANFD OK..."), std::string::npos) << r.output;
    EXPECT_GE(summaryCount(r.output, "echoed"), 150) << r.output;
    // The ~45 frames sent while the adapter was away are lost.
    EXPECT_GE(summaryCount(r.output, "sent") - summaryCount(r.output, "echoed"), 30) << r.output;
    EXPECT_EQ(summaryCount(r.output, "mismatched"), 0) << r.output;
}

TEST(YcanVirtual, ReportsTheAchievedRateAndWarnsWhenTheAdapterFallsBehind) {
    // CAN FD frames batched into 4096-byte transfers keep up with a busy bus.
    ToolRun fd = ycanVirtual({"--canfd", "43", "--inject", "20000", "--rate", "50000", "--fd", "100",
                              "--quiet", "--", YCAN_FRAME_SINK, "43", "20000"});
    EXPECT_EQ(fd.status, 0) << fd.output;
    EXPECT_NE(fd.output.find("frame_sink: received 20000 frames"), std::string::npos) << fd.output;
    std::smatch m;
    const std::regex rate(
        R"(offered (\d+) frames/s, achieved (\d+) frames/s \((\d+) of (\d+) frames to the host)");
    ASSERT_TRUE(std::regex_search(fd.output, m, rate)) << fd.output;
    EXPECT_EQ(m[1], "50000");
    EXPECT_GT(std::stoi(m[2]), 0);
    EXPECT_LE(std::stoi(m[2]), 50000);
    EXPECT_EQ(m[3], "20000");
    EXPECT_EQ(m[4], "20000");

    // An adapter that hands the host at most 1,000 frames/s, offered 5,000:
    // whatever the emulation's own speed, frames leave it later and later
    // (600 frames take 0.6 s or more to leave, all due within 0.12 s), so
    // the tool says it is falling behind, and every frame still arrives.
    ToolRun classic = ycanVirtual({"--classic", "1", "--inject", "600", "--rate", "5000", "--adapter-rate",
                                   "1000", "--quiet", "--", YCAN_FRAME_SINK, "4", "600"});
    EXPECT_EQ(classic.status, 0) << classic.output;
    EXPECT_NE(classic.output.find("frame_sink: received 600 frames"), std::string::npos) << classic.output;
    EXPECT_NE(classic.output.find("ycan-virtual: falling behind: "), std::string::npos) << classic.output;
    EXPECT_NE(classic.output.find("ycan-virtual: warning: the adapter fell behind the offered rate"),
              std::string::npos)
        << classic.output;
    ASSERT_TRUE(std::regex_search(classic.output, m, rate)) << classic.output;
    EXPECT_EQ(m[1], "5000");
    EXPECT_LE(std::stoi(m[2]), 1002);  // 600 frames over at least 0.599 s
    EXPECT_EQ(m[3], "600");
}

// Every bad option value is refused with one line naming the option and
// what it takes, status 2, before any adapter or command starts.
struct BadInput {
    std::vector<std::string> args;
    const char* message;
};

class YcanVirtualBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(YcanVirtualBadInput, IsRefusedWithItsOption) {
    std::vector<std::string> args = GetParam().args;
    for (const char* tail : {"--", "true"}) args.push_back(tail);
    ToolRun r = ycanVirtual(args);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(GetParam().message), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("echoed"), std::string::npos) << "it ran: " << r.output;
}

INSTANTIATE_TEST_SUITE_P(
    Options, YcanVirtualBadInput,
    ::testing::Values(
        BadInput{{"--duration", "abc"}, "--duration takes a whole number from 0 to 86400000, not \"abc\""},
        BadInput{{"--inject", "abc"}, "--inject takes a whole number"},
        BadInput{{"--inject", "99999999999"}, "--inject takes a whole number from 0 to 100000000"},
        BadInput{{"--inject", "-5"}, "--inject takes a whole number"},
        BadInput{{"--rate", "abc"}, "--rate takes a number of frames per second above 0"},
        BadInput{{"--rate", "0"}, "--rate takes a number of frames per second above 0"},
        BadInput{{"--adapter-rate", "-1"}, "--adapter-rate takes a number of frames per second from 0"},
        BadInput{{"--seed", "x"}, "--seed takes a whole number from 0 to 4294967295"},
        BadInput{{"--channel", "q"}, "--channel takes a whole number from 0 to 7"},
        BadInput{{"--canfd", "43", "--channel", "5"},
                 "--channel takes a channel of the adapter that carries the traffic, 0 to 1"},
        BadInput{{"--fd", "150"}, "--fd takes a whole number from 0 to 100"},
        BadInput{{"--until", "u"}, "--until takes a whole number"},
        BadInput{{"--unplug-at", "u"}, "--unplug-at takes a whole number"},
        BadInput{{"--replug-after", "-3"}, "--replug-after takes a whole number"},
        BadInput{{"--canfd", "44"},
                 "--canfd takes TYPE or TYPExCOUNT with TYPE one of 41, 42, 43, 64, 65, 66, 67"},
        BadInput{{"--canfd", "43x0"}, "--canfd takes TYPE or TYPExCOUNT"},
        BadInput{{"--recorder", "43"}, "--recorder takes TYPE or TYPExCOUNT with TYPE one of 61, 62"},
        BadInput{{"--classic", "-1"}, "--classic takes a whole number from 0 to 16"},
        BadInput{{"--ids", "1FF-100"}, "--ids takes LO or LO-HI"}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return "case" + std::to_string(p.index); });

TEST(YcanVirtual, CandumpLogFormat) {
    ToolRun r =
        ycanVirtual({"--canfd", "43", "--inject", "6", "--candump", "--expect-echo", "--", YCAN_CANFD_DEMO});
    EXPECT_EQ(r.status, 0) << r.output;
    std::regex candump(R"(\(\d+\.\d{6}\) can0 ([0-9A-F]{3}|[0-9A-F]{8})#(#[0-9A-F])?([0-9A-F]{2})*)");
    std::istringstream in(r.output);
    int lines = 0;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '(') {
            EXPECT_TRUE(std::regex_match(line, candump)) << line;
            ++lines;
        }
    EXPECT_EQ(lines, 12);  // six frames in, six back out
}

namespace {

// The frames of candump log lines ("(time) IFACE FRAME"), sorted.
std::vector<std::string> loggedFrames(const std::string& out, const std::string& iface) {
    std::vector<std::string> frames;
    const std::regex line("\\(\\d+\\.\\d{6}\\) " + iface + " ([0-9A-F#R]+)\\r?\\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        frames.push_back((*it)[1]);
    std::sort(frames.begin(), frames.end());
    return frames;
}

}  // namespace

namespace {

// The candump log lines of one interface, in the order written: time stamp
// and frame.
std::vector<std::pair<double, std::string>> loggedInOrder(const std::string& out, const std::string& iface) {
    std::vector<std::pair<double, std::string>> lines;
    const std::regex line("\\((\\d+\\.\\d{6})\\) " + iface + " ([0-9A-F#R]+)\\r?\\n");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        lines.emplace_back(std::stod((*it)[1]), (*it)[2]);
    return lines;
}

std::vector<std::string> framesOf(const std::vector<std::pair<double, std::string>>& lines) {
    std::vector<std::string> frames;
    for (const auto& l : lines) frames.push_back(l.second);
    return frames;
}

}  // namespace

TEST(YcanTool, DumpWritesClassicAndFdFramesInTheOrderTheyArrived) {
    // ycan-virtual's own log of what it injected, in order, is the reference.
    // The dump goes to a file of its own: ycan-virtual writes its log in
    // large blocks, into which another writer's line on the same pipe may
    // fall, cutting one of its lines in two.
    char path[] = "/tmp/ycan-dump-order-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
#if defined(__SANITIZE_THREAD__)
    // The shell is not instrumented and the ThreadSanitizer runtime the
    // launcher preloads ends it: there the dump shares the pipe.
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "300", "--fd", "50", "--seed", "5", "--rate", "2000",
                             "--candump", "--", YCAN_TOOL, "dump", "43:0:0", "-n", "300"});
    const std::string written = r.output;
#else
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "300", "--fd", "50", "--seed", "5", "--rate", "2000",
                             "--candump", "--", "sh", "-c", "exec \"$0\" \"$@\" > " + std::string(path), YCAN_TOOL,
                             "dump", "43:0:0", "-n", "300"});
    std::ifstream file(path);
    const std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
#endif
    unlink(path);
    EXPECT_EQ(r.status, 0) << r.output;
    const auto dumped = loggedInOrder(written, "ycan43-0-0");
    ASSERT_EQ(dumped.size(), 300u) << r.output;
    EXPECT_EQ(framesOf(dumped), framesOf(loggedInOrder(r.output, "can0")));
    for (size_t i = 1; i < dumped.size(); ++i) ASSERT_GE(dumped[i].first, dumped[i - 1].first) << i;
}

TEST(YcanTool, DumpStampsEachClassicFrameOnACanFdAdapterWhenItArrived) {
    // Classic frames 100 ms apart on a CAN FD adapter: each reaches the host
    // in a transfer of its own and keeps the time it came, not the time a
    // wait for the other kind of frame ended.
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "12", "--fd", "0", "--rate", "10", "--candump",
                             "--", YCAN_TOOL, "dump", "43:0:0", "-n", "12"});
    EXPECT_EQ(r.status, 0) << r.output;
    const auto dumped = loggedInOrder(r.output, "ycan43-0-0");
    const auto injected = loggedInOrder(r.output, "can0");
    ASSERT_EQ(dumped.size(), 12u) << r.output;
    EXPECT_EQ(framesOf(dumped), framesOf(injected));
    for (size_t i = 1; i < dumped.size(); ++i) EXPECT_GT(dumped[i].first, dumped[i - 1].first) << r.output;
}

TEST(YcanTool, DumpListensToSeveralChannelsOfOneAdapter) {
    ToolRun r =
        ycanVirtual({"--canfd", "66", "--channel", "5", "--inject", "20", "--fd", "50", "--rate", "500",
                     "--candump", "--", YCAN_TOOL, "dump", "66:0:0", "66:0:5,100:700", "-n", "20"});
    EXPECT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(loggedInOrder(r.output, "ycan66-0-5").size(), 20u) << r.output;
    EXPECT_EQ(framesOf(loggedInOrder(r.output, "ycan66-0-5")), framesOf(loggedInOrder(r.output, "can5")))
        << r.output;
    ToolRun all = ycanVirtual({"--canfd", "43", "--channel", "1", "--inject", "10", "--rate", "500",
                               "--candump", "--", YCAN_TOOL, "dump", "43:0:all", "-n", "10"});
    EXPECT_EQ(all.status, 0) << all.output;
    EXPECT_EQ(framesOf(loggedInOrder(all.output, "ycan43-0-1")), framesOf(loggedInOrder(all.output, "can1")))
        << all.output;
    ToolRun two = ycanVirtual({"--canfd", "43", "--", YCAN_TOOL, "dump", "43:0:0", "42:0:1"});
    EXPECT_EQ(two.status, 2) << two.output;
    EXPECT_NE(two.output.find("one adapter per dump"), std::string::npos) << two.output;
}

TEST(YcanTool, DumpSaysWhenTheAdapterIsUnpluggedAndWhenItIsBack) {
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "1", "--unplug-at", "200", "--replug-after", "300",
                             "--duration", "3000", "--", YCAN_TOOL, "dump", "43:0:0"});
    // ycan-virtual ends the dump at --duration, the adapter back by then.
    EXPECT_EQ(r.status, 124) << r.output;
    const size_t gone = r.output.find("adapter 43:0 unplugged; waiting for it to return\n");
    const size_t back = r.output.find("adapter 43:0 is back\n");
    ASSERT_NE(gone, std::string::npos) << r.output;
    ASSERT_NE(back, std::string::npos) << r.output;
    EXPECT_LT(gone, back);

    // Away for longer than --unplug-timeout: the dump gives up, status 1.
    ToolRun lost =
        ycanVirtual({"--canfd", "43", "--inject", "1", "--unplug-at", "100", "--replug-after", "60000",
                     "--duration", "30000", "--", YCAN_TOOL, "dump", "43:0:0", "--unplug-timeout", "0.5"});
    EXPECT_EQ(lost.status, 1) << lost.output;
    EXPECT_NE(lost.output.find("adapter 43:0 unplugged; waiting for it to return\n"), std::string::npos)
        << lost.output;
    EXPECT_NE(lost.output.find("ycan dump: adapter 43:0 did not return within 0.5 s\n"), std::string::npos)
        << lost.output;
}

TEST(YcanTool, DumpPrintsEveryFrameReceivedInCandumpLogFormat) {
    // ycan-virtual's own log of what it injected is the reference.
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "40", "--fd", "50", "--seed", "3", "--rate", "500",
                             "--candump", "--", YCAN_TOOL, "dump", "43:0:0", "-n", "40"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ycan dump: 40 frames"), std::string::npos) << r.output;
    const auto dumped = loggedFrames(r.output, "ycan43-0-0");
    EXPECT_EQ(dumped.size(), 40u) << r.output;
    EXPECT_EQ(dumped, loggedFrames(r.output, "can0")) << r.output;
}

TEST(YcanTool, SendPutsTheFramesOnTheBusAsGiven) {
    ToolRun fd = ycanVirtual({"--canfd", "43", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send",
                              "43:0:0", "1ABCDEF0##100112233445566778899AABB", "-r", "3", "--bitrate", "1M",
                              "--dbitrate", "5M"});
    EXPECT_EQ(fd.status, 0) << fd.output;
    EXPECT_EQ(loggedFrames(fd.output, "can0"),
              std::vector<std::string>(3, "1ABCDEF0##100112233445566778899AABB"))
        << fd.output;
    for (const char* frame : {"123##0AABB", "123##2AABB", "123##3AABB"}) {
        ToolRun flags = ycanVirtual(
            {"--canfd", "43", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send", "43:0:0", frame});
        EXPECT_EQ(loggedFrames(flags.output, "can0"), std::vector<std::string>{frame}) << flags.output;
    }

    ToolRun classic = ycanVirtual({"--classic", "1", "--candump", "--duration", "5000", "--", YCAN_TOOL,
                                   "send", "4:0:0", "123#1122", "--btr", "00,14"});
    EXPECT_EQ(classic.status, 0) << classic.output;
    EXPECT_EQ(loggedFrames(classic.output, "can0"), std::vector<std::string>{"123#1122"}) << classic.output;
}

TEST(YcanTool, ErrorsSayWhyAndExitNonZero) {
    // No adapter: the library's own message.
    ToolRun info = ycanVirtual({"--", YCAN_TOOL, "info", "43:0"});
    EXPECT_EQ(info.status, 1) << info.output;
    EXPECT_NE(info.output.find("Device Not Exist!"), std::string::npos) << info.output;
    ToolRun bad = ycanVirtual({"--canfd", "43", "--", YCAN_TOOL, "send", "43:0:0", "123#11223"});
    EXPECT_EQ(bad.status, 2) << bad.output;
    EXPECT_NE(bad.output.find("pairs of hex digits"), std::string::npos) << bad.output;
    ToolRun timing = ycanVirtual({"--", YCAN_TOOL, "timing", "--clock", "60", "--bitrate", "1M"});
    EXPECT_EQ(timing.status, 0) << timing.output;
    EXPECT_NE(timing.output.find("bit rate       1000000 bit/s"), std::string::npos) << timing.output;
}

// The library logs to standard output; the tool's own standard output
// carries only its frames, so `ycan dump > file` is a candump log as it
// stands, and a failing command prints nothing there.
// The classic adapters' open sets no last error: the tool says what it
// knows rather than "OK".
TEST(YcanTool, AnAbsentClassicAdapterIsSaidToBeAbsent) {
    ToolRun info = ycanVirtual({"--canfd", "43", "--", YCAN_TOOL, "info", "4:0"});
    EXPECT_EQ(info.status, 1) << info.output;
    EXPECT_NE(info.output.find("ycan: cannot open 4:0: no such adapter is attached"), std::string::npos)
        << info.output;
    EXPECT_EQ(info.output.find("(last error 0)"), std::string::npos) << info.output;
}

TEST(YcanTool, StandardOutputCarriesOnlyTheToolsOwnLines) {
#if defined(__SANITIZE_THREAD__)
    // The shell that redirects the output is not instrumented, and the
    // ThreadSanitizer runtime the launcher preloads ends it at once.
    GTEST_SKIP() << "runs /bin/sh under the ThreadSanitizer preload";
#endif
    char path[] = "/tmp/ycan-dump-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "20", "--fd", "50", "--seed", "4", "--rate", "500",
                             "--quiet", "--", "/bin/sh", "-c", "exec \"$0\" dump 43:0:0 -n 20 > \"$1\"",
                             YCAN_TOOL, path});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("YORV Tip:USB Device<0> Link..."), std::string::npos) << r.output;  // on stderr
    std::ifstream in(path);
    const std::regex line(R"(\(\d+\.\d{6}\) ycan43-0-0 [0-9A-F]{3,8}#[0-9A-F#R]*)");
    int lines = 0;
    for (std::string l; std::getline(in, l); ++lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(lines, 20);
    if (std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") == 0) {
        ChildProcess::Options piped;
        piped.terminal = false;
        ChildProcess py({"/usr/bin/python3", "-c",
                         "import can, sys; print(len(list(can.CanutilsLogReader(sys.argv[1]))))", path},
                        piped);
        EXPECT_EQ(py.wait(60s), 0) << py.output();
        EXPECT_EQ(py.output(), "20\n");
    }
    if (std::system("command -v log2asc >/dev/null") == 0) {
        ChildProcess::Options piped;
        piped.terminal = false;
        ChildProcess asc({"log2asc", "-I", path, "ycan43-0-0"}, piped);
        EXPECT_EQ(asc.wait(60s), 0) << asc.output();
        EXPECT_EQ(ycantest::countOf(asc.output(), " Rx "), 20u) << asc.output();
    }
    unlink(path);

    ToolRun info =
        ycanVirtual({"--", "/bin/sh", "-c", "\"$0\" info 43:0 2>/dev/null; echo \"status $?\"", YCAN_TOOL});
    EXPECT_EQ(info.output, "status 1\n");
}

TEST(YcanTool, DumpLogIsReadByPythonCanAndCanUtils) {
    if (std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") != 0 ||
        std::system("command -v log2asc >/dev/null") != 0)
        GTEST_SKIP() << "python3-can or can-utils not installed (scripts/install-deps.sh installs them)";
    ToolRun r = ycanVirtual({"--canfd", "43", "--inject", "30", "--fd", "50", "--seed", "9", "--rate", "500",
                             "--quiet", "--", YCAN_TOOL, "dump", "43:0:0", "-n", "30"});
    ASSERT_EQ(r.status, 0) << r.output;
    // The dump's lines, as a log file.
    std::string log;
    std::vector<std::string> frames;
    const std::regex line(R"(\(\d+\.\d{6}\) ycan43-0-0 ([0-9A-F#R]+)\r?\n)");
    for (auto it = std::sregex_iterator(r.output.begin(), r.output.end(), line); it != std::sregex_iterator();
         ++it) {
        std::string l = it->str();
        l.erase(std::remove(l.begin(), l.end(), '\r'), l.end());
        log += l;
        frames.push_back((*it)[1]);
    }
    ASSERT_EQ(frames.size(), 30u) << r.output;
    char path[] = "/tmp/ycan-dump-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    close(fd);

    // python-can reads every frame back, field for field, in the same text.
    const std::string script =
        "import can, sys\n"
        "for m in can.CanutilsLogReader(sys.argv[1]):\n"
        "    i = ('%08X' if m.is_extended_id else '%03X') % m.arbitration_id\n"
        "    if m.is_remote_frame: print(i + '#R' + (str(m.dlc) if m.dlc else ''))\n"
        "    elif m.is_fd: print(i + '##' + '%X' % ((1 if m.bitrate_switch else 0) | (2 if "
        "m.error_state_indicator else 0)) + m.data.hex().upper())\n"
        "    else: print(i + '#' + m.data.hex().upper())\n";
    ChildProcess::Options piped;
    piped.terminal = false;
    ChildProcess py({"/usr/bin/python3", "-c", script, path}, piped);
    EXPECT_EQ(py.wait(60s), 0) << py.output();
    std::string expected;
    for (const auto& f : frames) expected += f + "\n";
    EXPECT_EQ(py.output(), expected);

    // can-utils converts it to Vector ASC: one Rx line per frame.
    ChildProcess asc({"log2asc", "-I", path, "ycan43-0-0"}, piped);
    EXPECT_EQ(asc.wait(60s), 0) << asc.output();
    const std::string out = asc.output();
    size_t rx = 0;
    for (size_t at = 0; (at = out.find(" Rx ", at)) != std::string::npos; ++at) ++rx;
    EXPECT_EQ(rx, 30u) << out;
    unlink(path);
}

// An adapter named by its port or its serial number is that adapter, whatever
// its index: each name opens the adapter 'ycan list' shows under it, and a
// second program is told who holds it.
TEST(YcanTool, AnAdapterNamedByPortOrSerialIsThatAdapter) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "runs /bin/sh under the ThreadSanitizer preload";
#endif
    const std::string script =
        std::string("ycan() { \"") + YCAN_TOOL + "\" \"$@\"; }; "
        "set -e; ycan list; for s in YV43-1 YV43-2; do "
        "p=$(ycan list | awk -v s=$s '$0 ~ \" \"s\" \" {print $2}'); "
        "ycan info 43@$p | grep '^usb'; ycan info 43#$s | grep '^usb'; done; "
        "ycan dump 43#YV43-2:1 -n 1 & d=$!; "
        "for i in $(seq 200); do ycan list | grep 'YV43-2 *pid' && break; sleep 0.1; done; "
        "ycan info 43#YV43-2 || echo refused $?; kill $d; wait $d || true";
    ToolRun run = ycanVirtual({"--canfd", "43x2", "--quiet", "--", "sh", "-c", script});
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* serial : {"YV43-1", "YV43-2"}) {
        const std::regex row(std::string(R"(\n43:[01] +(1-\d) .* )") + serial + " ");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(run.output, m, row)) << run.output;
        // Twice each: opened by port, then by serial number.
        const std::string both = "usb port       " + m[1].str() + "\nusb serial     " + serial + "\n";
        const size_t first = run.output.find(both);
        ASSERT_NE(first, std::string::npos) << both << run.output;
        EXPECT_NE(run.output.find(both, first + 1), std::string::npos) << both << run.output;
    }
    EXPECT_NE(run.output.find("YV43-2           pid "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("43#YV43-2 is in use by another program (pid "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("refused 1"), std::string::npos) << run.output;
}

TEST(YcanTool, ListShowsEveryAttachedAdapterWithItsIndexAndGenSendsWhatItCounts) {
    ToolRun list =
        ycanVirtual({"--canfd", "43x2", "--classic", "1", "--recorder", "61", "--", YCAN_TOOL, "list"});
    EXPECT_EQ(list.status, 0) << list.output;
    auto rows = [&](const std::string& pattern) {
        const std::regex row(pattern);
        return std::distance(std::sregex_iterator(list.output.begin(), list.output.end(), row),
                             std::sregex_iterator());
    };
    // Each adapter once, by the TYPE:INDEX that opens it, with its port,
    // its USB serial number and nobody holding it.
    EXPECT_EQ(rows(R"(\n43:[01] +1-\d +1 +\d+ +3068:0009 +CAN FD +2 +YV43-1 +-\n)"), 1) << list.output;
    EXPECT_EQ(rows(R"(\n43:[01] +1-\d +1 +\d+ +3068:0009 +CAN FD +2 +YV43-2 +-\n)"), 1) << list.output;
    EXPECT_EQ(rows(R"(\n43:0 )"), 1) << list.output;
    EXPECT_EQ(rows(R"(\n4:0 +1-\d +1 +\d+ +0471:1200 +CAN +2 +YV4-1 +-\n)"), 1) << list.output;
    EXPECT_EQ(rows(R"(\n61:0 +1-\d +1 +\d+ +0471:2601 +recorder +2 +YV61-1 +-\n)"), 1) << list.output;
    EXPECT_EQ(rows("41,42"), 0) << list.output;

    ToolRun gen = ycanVirtual({"--canfd", "43",       "--candump", "--duration", "10000", "--",    YCAN_TOOL,
                               "gen",     "43:0:0",   "-n",        "25",         "--fd",  "--len", "12",
                               "--id",    "1ABCDEF0", "-D",        "i",          "-g",    "0"});
    EXPECT_EQ(gen.status, 0) << gen.output;
    EXPECT_NE(gen.output.find("ycan gen: 25 frames in"), std::string::npos) << gen.output;
    const auto sent = loggedFrames(gen.output, "can0");
    ASSERT_EQ(sent.size(), 25u) << gen.output;
    for (size_t k = 0; k < sent.size(); ++k) {
        // With bit rate switch; the first data byte counts up from 00, the
        // other 11 stay 00.
        char want[64];
        snprintf(want, sizeof want, "1ABCDEF0##1%02zX%s", k, std::string(22, '0').c_str());
        EXPECT_EQ(sent[k], want);
    }

    ToolRun recorder = ycanVirtual({"--recorder", "61", "--", YCAN_TOOL, "dump", "61:0"});
    EXPECT_EQ(recorder.status, 1) << recorder.output;
    EXPECT_NE(recorder.output.find("device type 61 is not a CAN or CAN FD adapter"), std::string::npos)
        << recorder.output;
}

namespace {

// The process whose parent is `parent` (the command ycan-virtual runs), or -1.
pid_t childOf(pid_t parent) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    while (dirent* e = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t ppid = -1;
        rest >> state >> ppid;
        if (ppid == parent) {
            found = static_cast<pid_t>(std::atoi(e->d_name));
            break;
        }
    }
    closedir(proc);
    return found;
}

}  // namespace

TEST(YcanTool, CtrlCEndsADumpCleanly) {
    ChildProcess::Options piped;
    piped.terminal = false;
    ChildProcess run({YCAN_BENCH_LAUNCHER, YCAN_VIRTUAL, "--canfd", "43", "--inject", "20", "--rate", "200",
                      "--quiet", "--duration", "60000", "--", YCAN_TOOL, "dump", "43:0:0"},
                     piped);
    ASSERT_TRUE(
        ycantest::eventually([&] { return ycantest::countOf(run.output(), " ycan43-0-0 ") >= 20; }, 30s))
        << run.output();
    const pid_t dump = childOf(run.pid());
    ASSERT_GT(dump, 0);
    kill(dump, SIGINT);  // what Ctrl-C at its terminal sends
    // The dump ends on its own, says what it printed and closes the adapter;
    // killed by the signal it would end with 128 + SIGINT.
    EXPECT_EQ(run.wait(30s), 0) << run.output();
    EXPECT_NE(run.output().find("ycan dump: 20 frames"), std::string::npos) << run.output();
}

// A remote frame the command sends is logged as candump writes it: R and
// the requested length (none for 0).
TEST(YcanVirtual, CandumpWritesRemoteFramesWithR) {
    ToolRun classic = ycanVirtual(
        {"--classic", "1", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send", "4:0:0", "123#R3"});
    EXPECT_EQ(classic.status, 0) << classic.output;
    EXPECT_EQ(loggedFrames(classic.output, "can0"), std::vector<std::string>{"123#R3"}) << classic.output;
    ToolRun fd = ycanVirtual({"--canfd", "43", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send",
                              "43:0:0", "1ABCDEF0#R"});
    EXPECT_EQ(fd.status, 0) << fd.output;
    EXPECT_EQ(loggedFrames(fd.output, "can0"), std::vector<std::string>{"1ABCDEF0#R"}) << fd.output;
}

// Help and version asked for are answers: standard output, status 0. The
// tool's version is the package's, and the library it loaded carries it.
TEST(YcanTool, HelpAndVersionAnswerOnStandardOutput) {
    ToolRun help = standardOutputOf({YCAN_VIRTUAL, "--help"});
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_EQ(help.output.rfind("usage: ycan-virtual", 0), 0u) << help.output;

    std::smatch m;
    ToolRun virt = standardOutputOf({YCAN_VIRTUAL, "--version"});
    EXPECT_EQ(virt.status, 0) << virt.output;
    ASSERT_TRUE(std::regex_match(virt.output, m, std::regex(R"(ycan-virtual (\d+\.\d+\.\d+)\n)")))
        << virt.output;
    const std::string version = m[1];

    ToolRun tool = standardOutputOf({YCAN_TOOL, "--version"});
    EXPECT_EQ(tool.status, 0) << tool.output;
    ASSERT_TRUE(
        std::regex_match(tool.output, m, std::regex(R"(ycan (\S+), library \S*/libycan\.so\.(\S+)\n)")))
        << tool.output;
    EXPECT_EQ(m[1], version);
    EXPECT_EQ(m[2], version);  // the library file of the same release
}

// Counts are decimal, as can-utils reads them, and frames go out only on a
// channel the user names.
TEST(YcanTool, CountsAreDecimalAndSendNeedsTheChannel) {
    ToolRun eight = ycanVirtual({"--canfd", "43", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send",
                                 "43:0:0", "123#11", "-r", "08"});
    EXPECT_EQ(eight.status, 0) << eight.output;
    EXPECT_EQ(loggedFrames(eight.output, "can0"), std::vector<std::string>(8, "123#11")) << eight.output;

    ToolRun noChannel = ycanVirtual(
        {"--canfd", "43", "--candump", "--duration", "5000", "--", YCAN_TOOL, "send", "43:0", "123#11"});
    EXPECT_EQ(noChannel.status, 2) << noChannel.output;
    EXPECT_NE(noChannel.output.find("needs the channel: TYPE:INDEX:CH, e.g. 43:0:0"), std::string::npos)
        << noChannel.output;
    EXPECT_TRUE(loggedFrames(noChannel.output, "can0").empty()) << noChannel.output;
}

TEST(YcanTool, EveryCommandExplainsItself) {
    for (const char* command : {"list", "info", "dump", "send", "gen", "top", "timing"}) {
        ToolRun r = ycanVirtual({"--", YCAN_TOOL, command, "--help"});
        EXPECT_EQ(r.status, 0) << command << ": " << r.output;
        EXPECT_EQ(r.output.rfind(std::string("usage: ycan ") + command, 0), 0u) << r.output;
    }
    ToolRun unknown = ycanVirtual({"--", YCAN_TOOL, "frobnicate"});
    EXPECT_EQ(unknown.status, 2) << unknown.output;
    EXPECT_NE(unknown.output.find("unknown command 'frobnicate'"), std::string::npos) << unknown.output;
}
