// The log, run in a scratch working directory so that QUserLog.ini and the
// log files are the test's own. Each test builds its own QUserLog, which
// reads the configuration at construction as the library's instance does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/QUserLog.h"
#include "test_support.h"

using ycantest::countOf;
using ycantest::readFile;
using ycantest::ScratchDir;
using ycantest::StreamCapture;

namespace {

std::string todaysFileName() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char name[64];
    strftime(name, sizeof name, "QUserLog_%Y%m%d.log", &local);
    return name;
}

const std::regex kLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(TRACE|DEBUG|INFO |WARN |ERROR|FATAL)\] .*)");

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { umask(022); }
    // Builds a log from the given configuration, returning what it printed.
    std::string configure(const std::string& ini, std::unique_ptr<QUserLog>& log) {
        scratch.write("QUserLog.ini", ini);
        StreamCapture out(1);
        log = std::make_unique<QUserLog>();
        return out.text();
    }
    ScratchDir scratch;
};

}  // namespace

TEST_F(Log, WithoutConfigurationConsoleOnlyFromDebugUp) {
    StreamCapture out(1);
    QUserLog log;
    log.Trace("trace %d", 1);
    log.Debug("debug %d", 2);
    log.Fatal("fatal %s", "x");
    std::string text = out.text();
    EXPECT_EQ(text.find("Config loaded successfully:"), std::string::npos);
    EXPECT_EQ(text.find("trace 1"), std::string::npos);
    auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_TRUE(std::regex_match(lines[0], kLine));
    EXPECT_NE(lines[0].find("] [DEBUG] debug 2"), std::string::npos);
    EXPECT_NE(lines[1].find("] [FATAL] fatal x"), std::string::npos);
    EXPECT_EQ(log.minLevel(), LOG_DEBUG);
    EXPECT_FALSE(log.fileOutputEnabled());
    // Only the scratch directory's own files: nothing was created.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.dir()),
                            std::filesystem::directory_iterator()),
              0);
}

TEST_F(Log, LineFormatIsTimestampPaddedLabelAndMessage) {
    StreamCapture out(1);
    QUserLog log;
    log.Info("%d", 5);
    log.Warn("w");
    std::string text = out.text();
    std::regex info(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[INFO \] 5\n\[[-0-9 :]{19}\] \[WARN \] w\n)");
    EXPECT_TRUE(std::regex_match(text, info)) << text;
}

TEST_F(Log, SummaryReportsTheSettingsRead) {
    std::unique_ptr<QUserLog> log;
    std::string text = configure("[LogConfig]\nLogLevel = 3\nLogPath = out\nFileOutput = 0\n", log);
    EXPECT_EQ(text, "Config loaded successfully:\nLogLevel: 3\nLogPath: out\nFileOutput: 0\n");
    EXPECT_EQ(log->minLevel(), LOG_WARN);
    EXPECT_EQ(log->logDirectory(), "out");
}

TEST_F(Log, LevelValuesOutOfRangeAreIgnoredTextReadsAsZero) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nLogLevel=7\n", log);
    EXPECT_EQ(log->minLevel(), LOG_DEBUG);
    configure("[LogConfig]\nLogLevel=-1\n", log);
    EXPECT_EQ(log->minLevel(), LOG_DEBUG);
    configure("[LogConfig]\nLogLevel=abc\n", log);
    EXPECT_EQ(log->minLevel(), LOG_TRACE);
    configure("[LogConfig]\nLogLevel=4xyz\n", log);
    EXPECT_EQ(log->minLevel(), LOG_ERROR);
}

TEST_F(Log, FileOutputOnlyForTheNumberOne) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nFileOutput=true\nLogPath=logs\n", log);
    EXPECT_FALSE(log->fileOutputEnabled());
    EXPECT_FALSE(std::filesystem::exists(scratch.dir() / "logs"));
    configure("[LogConfig]\nFileOutput=1\nLogPath=logs\n", log);
    EXPECT_TRUE(log->fileOutputEnabled());
    EXPECT_TRUE(std::filesystem::exists(scratch.dir() / "logs" / todaysFileName()));
}

TEST_F(Log, KeysOutsideTheSectionHaveNoEffect) {
    std::unique_ptr<QUserLog> log;
    configure("LogLevel=4\n[Other]\nLogLevel=5\n[logconfig]\nLogLevel=3\n", log);
    EXPECT_EQ(log->minLevel(), LOG_DEBUG);
    // A header followed by a comment is not a header.
    configure("[LogConfig] ; main\nLogLevel=4\n", log);
    EXPECT_EQ(log->minLevel(), LOG_DEBUG);
    // A later header leaves the section; an empty one names none.
    configure("[LogConfig]\nLogLevel=2\n[]\nLogLevel=5\n", log);
    EXPECT_EQ(log->minLevel(), LOG_INFO);
    configure("[Other]\n[LogConfig]\nLogLevel=0\n[Else]\nLogLevel=5\n", log);
    EXPECT_EQ(log->minLevel(), LOG_TRACE);
}

TEST_F(Log, CommentsWhitespaceAndCrLfAreHandled) {
    std::unique_ptr<QUserLog> log;
    std::string text = configure(
        "; leading comment\r\n"
        "  [LogConfig]  \r\n"
        "\tLogLevel =  2 ; info and above\r\n"
        "LogPath = ./logs ; where\r\n"
        "no equals sign\r\n"
        "Unknown = 9\r\n"
        "LogLevel = 4\r\n",
        log);
    EXPECT_EQ(log->minLevel(), LOG_ERROR);  // the last value wins
    EXPECT_EQ(log->logDirectory(), "./logs");
    EXPECT_NE(text.find("LogPath: ./logs\n"), std::string::npos);
}

TEST_F(Log, OverlongLineEndsTheReading) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nLogLevel=2\n" + std::string(300, 'x') + "\nLogLevel=4\n", log);
    EXPECT_EQ(log->minLevel(), LOG_INFO);
    // 255 characters is still a line.
    configure("[LogConfig]\nLogLevel=2\n" + std::string(255, ' ') + "\nLogLevel=4\n", log);
    EXPECT_EQ(log->minLevel(), LOG_ERROR);
}

TEST_F(Log, NestedDirectoriesCreatedAndDayFileAppended) {
    const std::string ini = "[LogConfig]\nLogLevel=2\nLogPath=a/b/c\nFileOutput=1\n";
    std::unique_ptr<QUserLog> log;
    configure(ini, log);
    for (const char* d : {"a", "a/b", "a/b/c"}) {
        struct stat st {};
        ASSERT_EQ(stat((scratch.dir() / d).c_str(), &st), 0) << d;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0755u) << d;
    }
    EXPECT_EQ(log->GetLogFileName(), "a/b/c/" + todaysFileName());
    {
        StreamCapture out(1);
        log->Info("first run");
        log->Debug("below the level");
        std::string console = out.text();
        EXPECT_NE(console.find("first run"), std::string::npos);
    }
    std::filesystem::path file = scratch.dir() / "a/b/c" / todaysFileName();
    // Flushed when Log returns, before the log is gone.
    std::string content = readFile(file);
    EXPECT_EQ(countOf(content, "\n"), 1u);
    EXPECT_NE(content.find("] [INFO ] first run\n"), std::string::npos);
    log.reset();

    configure(ini, log);
    log->Error("second run");
    content = readFile(file);
    auto lines = linesOf(content);
    ASSERT_EQ(lines.size(), 2u) << content;
    EXPECT_NE(lines[0].find("first run"), std::string::npos);
    EXPECT_NE(lines[1].find("[ERROR] second run"), std::string::npos);
}

TEST_F(Log, AbsolutePathIsCreated) {
    std::unique_ptr<QUserLog> log;
    std::string dir = (scratch.dir() / "abs/logs").string();
    configure("[LogConfig]\nLogPath=" + dir + "\nFileOutput=1\n", log);
    EXPECT_TRUE(log->fileOutputEnabled());
    log->Info("x");
    EXPECT_NE(readFile(dir + "/" + todaysFileName()).find("x"), std::string::npos);
}

TEST_F(Log, UncreatableDirectoryFallsBackToConsole) {
    scratch.write("blocker", "a file, not a directory");
    scratch.write("QUserLog.ini", "[LogConfig]\nLogPath=blocker/sub\nFileOutput=1\n");
    StreamCapture err(2);
    QUserLog log;
    EXPECT_EQ(err.text(), "Failed to create log directory: blocker/sub\n");
    EXPECT_FALSE(log.fileOutputEnabled());
    StreamCapture out(1);
    log.Info("still logging");
    EXPECT_NE(out.text().find("still logging"), std::string::npos);
}

TEST_F(Log, UnopenableFileFallsBackToConsole) {
    // A directory where the day's file should be makes the open fail.
    std::filesystem::create_directories(scratch.dir() / "logs" / todaysFileName());
    scratch.write("QUserLog.ini", "[LogConfig]\nLogPath=logs\nFileOutput=1\n");
    StreamCapture err(2);
    QUserLog log;
    EXPECT_EQ(err.text(), "Failed to open log file: logs/" + todaysFileName() + "\n");
    EXPECT_FALSE(log.fileOutputEnabled());
}

TEST_F(Log, FileOutputWithoutPathWritesNoFile) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nFileOutput=1\n", log);
    EXPECT_TRUE(log->Init());
    log->Info("console only");
    EXPECT_FALSE(std::filesystem::exists(scratch.dir() / todaysFileName()));
}

TEST_F(Log, LongestMessageForTheFileIs992Bytes) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nLogPath=logs\nFileOutput=1\n", log);
    std::string fits(992, 'a');
    std::string tooLong(993, 'b');
    StreamCapture out(1);
    log->Info("%s", fits.c_str());
    log->Info("%s", tooLong.c_str());
    std::string console = out.text();
    auto lines = linesOf(console);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size() + 1, 1023u);
    EXPECT_EQ(lines[1].size() + 1, 1024u);

    std::string content = readFile(scratch.dir() / "logs" / todaysFileName());
    EXPECT_EQ(content.size(), 1023u);
    EXPECT_NE(content.find(fits + "\n"), std::string::npos);
    EXPECT_EQ(content.find('b'), std::string::npos);
}

TEST_F(Log, MessageIsCutTo1023Bytes) {
    StreamCapture out(1);
    QUserLog log;
    log.Error("%s", std::string(3000, 'm').c_str());
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "m"), 1023u);
    EXPECT_EQ(text.size(), 1023u + 31u);
}

TEST_F(Log, ReloadPicksUpANewConfigurationAndPrintsTheSummaryTwice) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nLogLevel=4\n", log);
    scratch.write("QUserLog.ini", "[LogConfig]\nLogLevel=0\nLogPath=new\nFileOutput=1\n");
    StreamCapture out(1);
    EXPECT_TRUE(log->ReloadConfig());
    log->Trace("now visible");
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "Config loaded successfully:\n"), 2u);
    EXPECT_EQ(log->minLevel(), LOG_TRACE);
    EXPECT_NE(readFile(scratch.dir() / "new" / todaysFileName()).find("[TRACE] now visible"),
              std::string::npos);

    // Without the file the defaults come back.
    std::filesystem::remove(scratch.dir() / "QUserLog.ini");
    EXPECT_TRUE(log->ReloadConfig());
    EXPECT_EQ(log->minLevel(), LOG_DEBUG);
    EXPECT_FALSE(log->fileOutputEnabled());
    EXPECT_EQ(log->logDirectory(), "");
}

TEST_F(Log, LinesFromManyThreadsNeverInterleave) {
    std::unique_ptr<QUserLog> log;
    configure("[LogConfig]\nLogPath=logs\nFileOutput=1\n", log);
    constexpr int kThreads = 4, kLines = 200;
    {
        StreamCapture out(1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i)
                    log->Warn("thread %d line %d %s", t, i, std::string(40 + t * 13, 'z').c_str());
            });
        for (auto& th : threads) th.join();
        auto console = linesOf(out.text());
        EXPECT_EQ(console.size(), static_cast<size_t>(kThreads * kLines));
        for (auto& l : console) EXPECT_TRUE(std::regex_match(l, kLine)) << l;
    }
    auto lines = linesOf(readFile(scratch.dir() / "logs" / todaysFileName()));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex whole(R"(.*\[WARN \] thread (\d) line \d+ (z+))");
    for (auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, whole)) << l;
        EXPECT_EQ(m[2].length(), 40 + 13 * std::stoi(m[1]));
    }
}

TEST(LogHelpers, TrimWhitespace) {
    EXPECT_EQ(QUserLog::TrimWhitespace(nullptr), nullptr);
    char empty[] = "";
    EXPECT_EQ(QUserLog::TrimWhitespace(empty), empty);
    char blanks[] = " \t \r\n";
    EXPECT_STREQ(QUserLog::TrimWhitespace(blanks), "");
    char both[] = "  key = value \t\r";
    EXPECT_STREQ(QUserLog::TrimWhitespace(both), "key = value");
    char one[] = "x";
    EXPECT_STREQ(QUserLog::TrimWhitespace(one), "x");
}

TEST(LogHelpers, CreateDirectoryReportsFailureAndAcceptsExisting) {
    ScratchDir scratch;
    EXPECT_TRUE(QUserLog::CreateDirectory("x/y/"));
    EXPECT_TRUE(std::filesystem::is_directory(scratch.dir() / "x/y"));
    EXPECT_TRUE(QUserLog::CreateDirectory("x/y"));
    scratch.write("f", "");
    EXPECT_FALSE(QUserLog::CreateDirectory("f/g"));
    // An existing name passes, file or not: only the file open notices.
    EXPECT_TRUE(QUserLog::CreateDirectory("f"));
}
