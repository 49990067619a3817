// The ycan tool and what it is given: every bad input is refused before an
// adapter is touched, with one line on standard error that says what was
// wrong, status 2, nothing on standard output; settings that fit are used.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "started_process.h"

using namespace std::chrono_literals;
using ycantest::Started;

namespace {

struct ToolInput {
    std::vector<std::string> args;
    const char* message;
};

class YcanToolBadInput : public ::testing::TestWithParam<ToolInput> {};

}  // namespace

TEST_P(YcanToolBadInput, IsRefusedWithWhatWasWrong) {
    std::vector<std::string> argv = {YCAN_TOOL};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    Started run(argv, "");
    EXPECT_EQ(run.wait(60s), 2) << run.err.read();
    EXPECT_NE(run.err.read().find(GetParam().message), std::string::npos) << run.err.read();
    EXPECT_EQ(run.out.read(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, YcanToolBadInput,
    ::testing::Values(
        ToolInput{{"dump", "43:0:9"}, "ycan dump: adapter type 43 has channels 0 to 1"},
        ToolInput{{"send", "4:0:2", "123#11"}, "ycan send: adapter type 4 has channels 0 to 1"},
        ToolInput{{"gen", "66:0:8"}, "ycan gen: adapter type 66 has channels 0 to 7"},
        ToolInput{{"dump", "43:0:0", "--btr", "00,14"}, "--btr is for classic adapters"},
        ToolInput{{"dump", "43:0:0", "--timing", "0,0"},
                  "--timing arbitration word 0x00000000 outside the controller's range at 60 MHz: tseg1 1 (2 "
                  "to 256), "
                  "20 Mbit/s (5 kbit/s to 1 Mbit/s)"},
        ToolInput{{"dump", "43:0:0", "--timing", "FFFFFFFF,1"},
                  "--timing arbitration word 0xFFFFFFFF outside"},
        ToolInput{{"dump", "43:0:0", "--timing", "01400106,0"}, "--timing data word 0x00000000 outside"},
        ToolInput{{"dump", "4:0:0", "--timing", "01400106,00800001"}, "--timing is for CAN FD adapters"},
        ToolInput{{"dump", "4:0:0", "--dbitrate", "2M"}, "a classic adapter has no data phase"},
        ToolInput{{"dump", "4:0:0", "--btr", "00,00"},
                  "--btr outside the controller's range: 2.66667 Mbit/s"},
        ToolInput{
            {"dump", "43:0:0", "--bitrate", "2M"},
            "no bus timing of this adapter reaches 2000000 bit/s (arbitration) (the table rates: 1M, 800k, "
            "500k, 250k, 125k, 100k, 50k)"},
        ToolInput{{"dump", "43:0:0", "--dbitrate", "12M"}, "reaches 12000000 bit/s (data phase)"},
        ToolInput{{"send", "4:0:0", "123#11", "--bitrate", "3k"},
                  "the table rates: 1M, 800k, 500k, 250k, 125k"},
        ToolInput{{"dump", "43:0:0", "--sample-point", "30"},
                  "--sample-point takes a percentage from 50 to 99.9"},
        ToolInput{{"dump", "43:0:0", "--bitrate", "fast"}, "bad bit rate fast"},
        ToolInput{{"send", "43:0", "123#11"}, "needs the channel: TYPE:INDEX:CH, e.g. 43:0:0"},
        ToolInput{{"send", "43:0:0", "123#11", "-r", "08x"}, "bad number 08x"},
        ToolInput{{"dump", "43@1-2.x:0"}, "\"1-2.x\" is not a USB port path"},
        ToolInput{{"dump", "43@2.3"}, "\"2.3\" is not a USB port path"},
        ToolInput{{"dump", "43@1-2:z"}, "expected TYPE@PORT[:CH] with a channel number"},
        ToolInput{{"info", "43#"}, "expected TYPE#SERIAL"},
        ToolInput{{"info", "x@1-2"}, "expected a device type before '@'"},
        ToolInput{{"dump", "43@1-2:5"}, "adapter type 43 has channels 0 to 1"},
        ToolInput{{"send", "4:0:0", "123##1AA"}, "a CAN FD frame needs a CAN FD adapter"},
        ToolInput{{"dump", "43:0:0", "-n", "-1"}, "bad number -1"},
        ToolInput{{"gen", "43:0:0", "--fd", "--len", "65"},
                  "-L takes r (random), i (increment) or a length from 0 to 64"},
        ToolInput{{"gen", "43:0:0", "-b", "-L", "9"},
                  "a CAN FD frame carries 0-8, 12, 16, 20, 24, 32, 48 or 64 bytes, not 9"},
        ToolInput{{"gen", "43:0:0", "-L", "12"},
                  "a classic frame carries 0 to 8 bytes, not 12 (CAN FD: -f or -b)"},
        ToolInput{{"gen", "43:0:0", "-I", "800"}, "needs 29 bits: add -e"},
        ToolInput{{"gen", "43:0:0", "-R", "-f"}, "CAN FD has no remote frames"},
        ToolInput{{"gen", "43:0:0", "-D", "123"},
                  "-D takes r (random), i (increment) or data in pairs of hex digits"},
        ToolInput{{"gen", "43:0:0", "-g", "-5"}, "-g takes a gap in milliseconds"},
        ToolInput{{"gen", "4:0:0", "-f"}, "CAN FD frames need a CAN FD adapter"},
        ToolInput{{"dump", "43:0:0,123"}, "a filter is ID:MASK or ID~MASK in hex"},
        ToolInput{{"dump", "43:0:0", "-t", "q"}, "-t takes a (absolute), A (date), d (delta) or z (zero)"},
        ToolInput{{"dump", "43:0:0", "-t", "A"}, "-t A writes dates, which the log format cannot carry"},
        ToolInput{{"dump", "43:0:0", "-x"}, "-x adds columns to --format table"},
        ToolInput{{"dump", "43:0:0", "--frobnicate"}, "unknown option --frobnicate"},
        ToolInput{{"dump", "43:x:0"}, "expected TYPE:INDEX[:CH]"},
        ToolInput{{"info", "43"}, "expected TYPE:INDEX, e.g. 43:0"},
        ToolInput{{"timing", "--clock", "70", "--bitrate", "1M"}, "the adapters' clocks are 60 and 80 MHz"},
        ToolInput{{"timing", "--clock", "60", "--bitrate", "1M", "--sjw", "0"},
                  "--sjw takes a jump width from 1 to 128"},
        ToolInput{{"frobnicate"}, "unknown command 'frobnicate'"}),
    [](const ::testing::TestParamInfo<ToolInput>& p) { return "case" + std::to_string(p.index); });

// `ycan timing` gives the nearest rate with its error, keeps the jump width
// asked for, and says when the controller would not take a word.
TEST(YcanTool, TimingGivesTheNearestRateAndJudgesWords) {
    Started nearest({YCAN_TOOL, "timing", "--clock", "60", "--bitrate", "83333", "--sjw", "3"}, "");
    EXPECT_EQ(nearest.wait(60s), 0) << nearest.err.read();
    const std::string out = nearest.out.read();
    EXPECT_NE(out.find("bit rate       83333 bit/s"), std::string::npos) << out;
    EXPECT_NE(out.find("jump width     3"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(rate error     \+0\.0\d+ % \(asked 83333 bit/s\))")))
        << out;

    Started exact({YCAN_TOOL, "timing", "--clock", "80", "--bitrate", "1M"}, "");
    EXPECT_EQ(exact.wait(60s), 0);
    EXPECT_EQ(exact.out.read().find("rate error"), std::string::npos) << exact.out.read();

    Started tooFar({YCAN_TOOL, "timing", "--clock", "60", "--bitrate", "10M"}, "");
    EXPECT_EQ(tooFar.wait(60s), 1);
    EXPECT_NE(tooFar.err.read().find("no timing word at 60 MHz comes within 5 % of 10000000 bit/s"),
              std::string::npos)
        << tooFar.err.read();

    Started word({YCAN_TOOL, "timing", "--clock", "60", "0x00000000"}, "");
    EXPECT_EQ(word.wait(60s), 1);
    EXPECT_NE(word.out.read().find("bit rate       20000000 bit/s"), std::string::npos) << word.out.read();
    EXPECT_NE(word.err.read().find("the controller does not take this word"), std::string::npos)
        << word.err.read();
}

// A rate the adapter has no table entry for is reached with a computed
// timing, said on standard error; the adapter is set up with it.
TEST(YcanTool, RatesOutsideTheTableAreComputedAndSaid) {
    // The dump runs until the adapter says the channel started; its state
    // is taken then.
    auto run = [](const std::string& adapter, const std::string& channel, std::vector<std::string> send) {
        std::vector<std::string> argv = {YCAN_BENCH_LAUNCHER,
                                         YCAN_VIRTUAL,
                                         adapter.substr(0, adapter.find(' ')),
                                         adapter.substr(adapter.find(' ') + 1),
                                         "--control",
                                         "--duration",
                                         "60000",
                                         "--",
                                         YCAN_COMMAND_PROBE,
                                         "ask-while",
                                         "state " + channel,
                                         YCAN_TOOL,
                                         "dump"};
        argv.insert(argv.end(), send.begin(), send.end());
        return argv;
    };
    Started fd(run("--canfd 43", "43:0:1", {"43:0:1", "--bitrate", "123k", "--dbitrate", "3M"}), "");
    ASSERT_EQ(fd.wait(120s), 0) << fd.err.read();
    EXPECT_NE(
        fd.err.read().find("ycan: 123000 bit/s (arbitration): 244 time quanta of 2 clock periods give 122951 "
                           "bit/s (-0.040 %), sample point 79.9 %"),
        std::string::npos)
        << fd.err.read();
    EXPECT_NE(fd.out.read().find(" abit=122950 dbit=3000000 "), std::string::npos) << fd.out.read();

    // Table rates still go to the library by rate; a sample point asked
    // for makes them computed too.
    Started table(run("--canfd 66", "66:0:7", {"66:0:7", "--bitrate", "1M", "--dbitrate", "5M"}), "");
    ASSERT_EQ(table.wait(120s), 0) << table.err.read();
    EXPECT_EQ(table.err.read().find("time quanta"), std::string::npos) << table.err.read();
    EXPECT_NE(table.out.read().find(" abit=1000000 dbit=5000000 "), std::string::npos) << table.out.read();

    Started classic(run("--classic 1", "4:0:1", {"4:0:1", "--bitrate", "83333"}), "");
    ASSERT_EQ(classic.wait(120s), 0) << classic.err.read();
    EXPECT_NE(
        classic.err.read().find("ycan: 83333 bit/s: 16 time quanta of 12 clock periods give 83333 bit/s"),
        std::string::npos)
        << classic.err.read();
    EXPECT_NE(classic.out.read().find(" btr=05,2B"), std::string::npos) << classic.out.read();
}

namespace {

// The frames of "(time) IFACE FRAME" lines, in order, with their times.
std::vector<std::pair<double, std::string>> framesOn(const std::string& out, const std::string& iface) {
    std::vector<std::pair<double, std::string>> frames;
    const std::regex line("\\((\\d+\\.\\d{6})\\) " + iface + " ([0-9A-F#R.]+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        frames.emplace_back(std::stod((*it)[1]), (*it)[2]);
    return frames;
}

std::vector<std::string> textsOf(const std::vector<std::pair<double, std::string>>& frames) {
    std::vector<std::string> texts;
    for (const auto& f : frames) texts.push_back(f.second);
    return texts;
}

}  // namespace

// dump with candump's filters, time stamps, -x and -l.
TEST(YcanTool, DumpTakesCandumpsFiltersTimeStampsAndLogFile) {
    // The injected identifiers count up from 100 (every fifth 29-bit):
    // 100:7F0 passes 100-10F of both formats, 16 of the 20.
    Started filtered(
        ycantest::underYcanVirtual({"--canfd", "43", "--inject", "20", "--rate", "500", "--candump", "--",
                                    YCAN_TOOL, "dump", "43:0:0,100:7F0", "-n", "16"}),
        "");
    ASSERT_EQ(filtered.wait(120s), 0) << filtered.err.read();
    std::vector<std::string> expected;
    for (const std::string& f : textsOf(framesOn(filtered.err.read(), "can0")))
        if ((std::stoul(f.substr(0, f.find('#')), nullptr, 16) & 0x7F0) == 0x100) expected.push_back(f);
    EXPECT_EQ(expected.size(), 16u) << filtered.err.read();
    EXPECT_EQ(textsOf(framesOn(filtered.out.read(), "ycan43-0-0")), expected) << filtered.out.read();

    Started table(ycantest::underYcanVirtual({"--canfd", "43", "--inject", "6", "--rate", "500", "--quiet",
                                              "--", YCAN_TOOL, "dump", "43:0:0", "-n", "6", "--format",
                                              "table", "-t", "z", "-x"}),
                  "");
    ASSERT_EQ(table.wait(120s), 0) << table.err.read();
    const std::string out = table.out.read();
    const std::regex row(R"(\(\d{3}\.\d{6}\)  ycan43-0-0  RX [B-] [E-]  +[0-9A-F]{3,8}  .*)");
    size_t rows = 0;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);)
        if (l.rfind("(", 0) == 0) {  // ycan-virtual's summary follows
            EXPECT_TRUE(std::regex_match(l, row)) << l;
            ++rows;
        }
    EXPECT_EQ(rows, 6u) << out;
    EXPECT_EQ(out.rfind("(000.000000)  ycan43-0-0", 0), 0u) << out;

    char dir[] = "/tmp/ycan-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Started logged(ycantest::underYcanVirtual({"--canfd", "43", "--inject", "6", "--rate", "500", "--candump",
                                               "--", YCAN_TOOL, "dump", "43:0:0", "-n", "6", "-l"}),
                   "", false, dir);
    ASSERT_EQ(logged.wait(120s), 0) << logged.err.read();
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        files.push_back(e.path().filename().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(candump-\d{4}-\d\d-\d\d_\d{6}\.log)"))) << files[0];
    const std::string log = ycantest::readFile(std::string(dir) + "/" + files[0]);
    EXPECT_EQ(textsOf(framesOn(log, "ycan43-0-0")), textsOf(framesOn(logged.err.read(), "can0"))) << log;
    EXPECT_EQ(framesOn(logged.out.read(), "ycan43-0-0").size(), 0u);  // to the file, not the terminal
    EXPECT_NE(logged.err.read().find("ycan dump: logging to " + files[0]), std::string::npos)
        << logged.err.read();
    std::filesystem::remove_all(dir);
}

// gen with cangen's choices of identifier, length and data, and its gap.
TEST(YcanTool, GenMakesTheFramesCangenWouldAndKeepsItsGap) {
    Started counting(
        ycantest::underYcanVirtual({"--canfd", "43",     "--candump", "--duration", "60000", "--", YCAN_TOOL,
                                    "gen",     "43:0:0", "-n",        "12",         "-I",    "i",  "-L",
                                    "i",       "-D",     "i",         "-e",         "-g",    "0"}),
        "");
    ASSERT_EQ(counting.wait(120s), 0) << counting.err.read();
    std::vector<std::string> want;
    for (unsigned k = 0; k < 12; ++k) {
        char id[16];
        snprintf(id, sizeof id, "%08X#", k);
        std::string data;
        for (unsigned b = 0; b < k % 9; ++b) {
            char byte[4];
            snprintf(byte, sizeof byte, "%02X", b == 0 ? k : 0);
            data += byte;
        }
        want.push_back(id + data);
    }
    EXPECT_EQ(textsOf(framesOn(counting.err.read(), "can0")), want) << counting.out.read();

    // Remote frames keep their length on a classic adapter.
    Started remote(
        ycantest::underYcanVirtual({"--classic", "1", "--candump", "--duration", "60000", "--", YCAN_TOOL,
                                    "gen", "4:0:0", "-n", "2", "-R", "-I", "7FF", "-L", "3", "-g", "0"}),
        "");
    ASSERT_EQ(remote.wait(120s), 0) << remote.err.read();
    EXPECT_EQ(textsOf(framesOn(remote.err.read(), "can0")), (std::vector<std::string>{"7FF#R3", "7FF#R3"}))
        << remote.err.read();

    Started fd(
        ycantest::underYcanVirtual({"--canfd", "43",     "--candump", "--duration", "60000", "--", YCAN_TOOL,
                                    "gen",     "43:0:0", "-n",        "2",          "-f",    "-I", "100",
                                    "-L",      "12",     "-D",        "i",          "-g",    "0"}),
        "");
    ASSERT_EQ(fd.wait(120s), 0) << fd.err.read();
    EXPECT_EQ(textsOf(framesOn(fd.err.read(), "can0")),
              (std::vector<std::string>{"100##0000000000000000000000000", "100##0010000000000000000000000"}))
        << fd.err.read();

    // A gap, not a flood: five frames 100 ms apart take 400 ms (the slack
    // allows for the first frame's way through USB taking longer than the
    // last's; a slower machine only makes the span longer).
    Started gapped(ycantest::underYcanVirtual({"--canfd", "43", "--candump", "--duration", "60000", "--",
                                               YCAN_TOOL, "gen", "43:0:0", "-n", "5", "-g", "100", "-I",
                                               "123", "-L", "1", "-D", "55"}),
                   "");
    ASSERT_EQ(gapped.wait(120s), 0) << gapped.err.read();
    const auto sent = framesOn(gapped.err.read(), "can0");
    ASSERT_EQ(sent.size(), 5u) << gapped.err.read();
    for (const auto& f : sent) EXPECT_EQ(f.second, "123#55");
    EXPECT_GE(sent.back().first - sent.front().first, 0.25) << gapped.err.read();
}

// ycan top in a terminal: the channel's rate and load, a line per
// identifier with changed bytes marked, q quits and gives the terminal back.
TEST(YcanTool, TopShowsTheTrafficLiveAndQuitsOnQ) {
    if (std::system("command -v tmux >/dev/null") != 0)
        GTEST_SKIP() << "tmux not installed (scripts/install-deps.sh installs it)";
    using ycantest::Terminal;
    Terminal term(Terminal::quoted(YCAN_BENCH_LAUNCHER) + " " + Terminal::quoted(YCAN_VIRTUAL) +
                  " --canfd 43 --inject 1000000 --rate 100 --ids 123-124 --quiet --duration 120000 -- " +
                  Terminal::quoted(YCAN_TOOL) + " top 43:0 --bitrate 1M --dbitrate 5M");
    // Counts grow past what the first screen showed.
    ASSERT_TRUE(term.shows("ycan top 43:0")) << term.screen();
    const std::regex row(R"(\n 0  123 +(\d+) +[\d.]+ +[\d.]+ +\d+)");
    auto countOf123 = [&] {
        std::smatch m;
        const std::string s = term.screen();
        return std::regex_search(s, m, row) ? std::stol(m[1]) : -1L;
    };
    ASSERT_TRUE(ycantest::eventually([&] { return countOf123() >= 5; }, 60s)) << term.screen();
    const long seen = countOf123();
    ASSERT_TRUE(ycantest::eventually([&] { return countOf123() > seen; }, 60s)) << term.screen();
    const std::string screen = term.screen();
    EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\n 0 +\d+ +\d+\.\d %  1M / 5M)"))) << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\n 1 +0 +0\.0 %  1M / 5M)"))) << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\n 0  10000124 +\d+)"))) << screen;
    // The injected payloads change from frame to frame: bytes are marked.
    EXPECT_TRUE(ycantest::eventually(
        [&] { return term.screenWithAttributes().find("\033[7m") != std::string::npos; }, 60s))
        << term.screenWithAttributes();

    term.tmux("send-keys -t probe q");
    ASSERT_TRUE(term.shows("exit status")) << term.screen();
    EXPECT_NE(term.screen().find("exit status 0"), std::string::npos) << term.screen();
    EXPECT_EQ(term.screen().find("ycan top 43:0"), std::string::npos) << "the screen was not given back";
}

// The library's log lines reach standard error as they are written, also
// when it is a file or a pipe (a journal, a supervising program): they are
// there while the tool runs, not only once it ends.
TEST(YcanToolOutput, LibraryLogLinesArriveWhileTheToolRuns) {
    Started dump(ycantest::underYcanVirtual(
                     {"--canfd", "43", "--duration", "60000", "--", YCAN_TOOL, "dump", "43:0:0"}),
                 "");
    EXPECT_TRUE(ycantest::eventually([&] { return dump.err.read().find("Start Success") != std::string::npos; },
                                     30s))
        << dump.err.read();
    EXPECT_EQ(dump.wait(0ms), -1) << "the dump was still to run";
    kill(dump.pid, SIGINT);
    EXPECT_GE(dump.wait(30s), 0);
}
