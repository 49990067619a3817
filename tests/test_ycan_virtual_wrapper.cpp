// ycan-virtual as the wrapper of a command: the command keeps its own
// standard streams and terminal, signals reach it, a closed pipe ends it,
// the end by --duration has its own status, and nothing the command does
// with libusb brings ycan-virtual down.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "started_process.h"
#include "test_support.h"

using namespace std::chrono_literals;
using ycantest::Started;

using ycantest::underYcanVirtual;

TEST(YcanVirtualWrapper, TheCommandKeepsItsStandardStreams) {
    Started run(underYcanVirtual({"--", YCAN_COMMAND_PROBE, "streams"}), "typed in\n");
    ASSERT_EQ(run.wait(60s), 0) << run.out.read() << run.err.read();
    EXPECT_EQ(run.out.read(), "typed in\n");
    EXPECT_EQ(run.err.read(), "on stderr\n");

    // The ycan tool without an adapter: its complaint is not output.
    Started info(underYcanVirtual({"--", YCAN_TOOL, "info", "43:0"}), "");
    EXPECT_EQ(info.wait(60s), 1);
    EXPECT_EQ(info.out.read(), "");
    EXPECT_NE(info.err.read(), "");
}

TEST(YcanVirtualWrapper, ExitStatusSaysHowTheCommandEnded) {
    // Ended by --duration: 124, as timeout(1) says it.
    Started timedOut(
        underYcanVirtual({"--canfd", "43", "--duration", "300", "--", YCAN_COMMAND_PROBE, "wait"}), "");
    EXPECT_EQ(timedOut.wait(60s), 124) << timedOut.err.read();
    EXPECT_NE(timedOut.err.read().find("--duration 300 ms ended the command"), std::string::npos)
        << timedOut.err.read();
    // Its own status otherwise; 127 and 126 for what cannot be run.
    Started usage(underYcanVirtual({"--", YCAN_COMMAND_PROBE}), "");
    EXPECT_EQ(usage.wait(60s), 2);
    Started missing(underYcanVirtual({"--", YCAN_ALTER_ECHO_MISSING}), "");
    EXPECT_EQ(missing.wait(60s), 127);
    EXPECT_NE(missing.err.read().find("cannot run"), std::string::npos) << missing.err.read();
}

TEST(YcanVirtualWrapper, SignalsGoOnToTheCommandAndASecondOneEndsItHard) {
    // A dump asked to end by a signal to ycan-virtual ends as it would
    // alone: its count said, status 0.
    Started dump(underYcanVirtual({"--canfd", "43", "--inject", "1000", "--rate", "200", "--quiet",
                                   "--duration", "120000", "--", YCAN_TOOL, "dump", "43:0:0"}),
                 "");
    ASSERT_TRUE(
        ycantest::eventually([&] { return ycantest::countOf(dump.out.read(), " ycan43-0-0 ") >= 5; }, 60s))
        << dump.out.read() << dump.err.read();
    kill(dump.pid, SIGTERM);
    EXPECT_EQ(dump.wait(60s), 0) << dump.err.read();
    EXPECT_NE(dump.err.read().find("ycan dump: "), std::string::npos) << dump.err.read();

    // A command that ignores the first: it keeps running; the second ends it.
    Started stubborn(underYcanVirtual({"--duration", "120000", "--", YCAN_COMMAND_PROBE, "stubborn"}), "");
    ASSERT_TRUE(ycantest::eventually([&] { return stubborn.out.read() == "ready\n"; }, 60s))
        << stubborn.err.read();
    kill(stubborn.pid, SIGINT);
    EXPECT_EQ(stubborn.wait(300ms), -1);
    kill(stubborn.pid, SIGINT);
    EXPECT_EQ(stubborn.wait(60s), 128 + SIGKILL) << stubborn.err.read();
}

TEST(YcanVirtualWrapper, AClosedPipeEndsTheCommand) {
    // As "ycan-virtual -- COMMAND | head -3": the reader goes, the command
    // dies of SIGPIPE long before --duration.
    Started run(underYcanVirtual({"--duration", "120000", "--", YCAN_COMMAND_PROBE, "lines"}), "", true);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(run.line(), "line " + std::to_string(k));
    run.closeOutput();
    EXPECT_EQ(run.wait(60s), 128 + SIGPIPE) << run.err.read();
}

TEST(YcanVirtualWrapper, SurvivesTheCommandsLibusbContextsComingAndGoing) {
    // The command opens an adapter type that is not attached over and over,
    // each time creating and destroying its libusb context and with it its
    // device monitor, while the attached adapter is unplugged and plugged
    // back through the control socket.
    Started run(underYcanVirtual({"--canfd", "43", "--control", "--duration", "120000", "--",
                                  YCAN_COMMAND_PROBE, "churn", YCAN_LIBRARY_PATH, "2000"}),
                "");
    EXPECT_EQ(run.wait(120s), 0) << run.out.read() << run.err.read();
    EXPECT_NE(run.out.read().find("opens "), std::string::npos) << run.out.read();
}

TEST(YcanVirtualWrapper, KeyboardAndCtrlCReachTheCommandInATerminal) {
    if (std::system("command -v tmux >/dev/null") != 0)
        GTEST_SKIP() << "tmux not installed (scripts/install-deps.sh installs it)";
    ycantest::Terminal term(ycantest::Terminal::quoted(YCAN_BENCH_LAUNCHER) + " " +
                            ycantest::Terminal::quoted(YCAN_VIRTUAL) + " --duration 120000 -- " +
                            ycantest::Terminal::quoted(YCAN_COMMAND_PROBE) + " interactive");
    ASSERT_TRUE(term.shows("type a line")) << term.screen();
    term.tmux("send-keys -t probe hello Enter");
    ASSERT_TRUE(term.shows("got: hello")) << term.screen();
    // Ctrl-C at the terminal reaches the command once, and ycan-virtual
    // waits for it to end.
    term.tmux("send-keys -t probe C-c");
    ASSERT_TRUE(term.shows("SIGINT received")) << term.screen();
    EXPECT_NE(term.screen().find("SIGINT received 1 times"), std::string::npos) << term.screen();
    ASSERT_TRUE(term.shows("exit status")) << term.screen();
    EXPECT_NE(term.screen().find("exit status 0"), std::string::npos) << term.screen();
}

// What ycan-virtual itself says (bus traffic, its summary) goes to standard
// error: the command's output redirected to a file is the command's alone.
TEST(YcanVirtualWrapper, TheCommandsOutputIsItsAlone) {
    Started run(underYcanVirtual({"--canfd", "43", "--inject", "6", "--rate", "500", "--candump", "--",
                                  YCAN_TOOL, "dump", "43:0:0", "-n", "6"}),
                "");
    ASSERT_EQ(run.wait(120s), 0) << run.err.read();
    const std::string out = run.out.read();
    EXPECT_EQ(ycantest::countOf(out, "\n"), 6u) << out;
    EXPECT_EQ(ycantest::countOf(out, ") ycan43-0-0 "), 6u) << out;
    const std::string err = run.err.read();
    EXPECT_EQ(ycantest::countOf(err, ") can0 "), 6u) << err;
    EXPECT_NE(err.find("echoed 0/6 frames"), std::string::npos) << err;
    if (std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") == 0) {
        Started py({"/usr/bin/python3", "-c",
                    "import can, sys; print(len(list(can.CanutilsLogReader(sys.argv[1]))))", run.out.path},
                   "");
        EXPECT_EQ(py.wait(60s), 0) << py.err.read();
        EXPECT_EQ(py.out.read(), "6\n");
    }
}
