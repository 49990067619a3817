// The configuration of ycan bridge --all: what each adapter gets, and files
// that are refused with the line that is wrong.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "drivers/common/adapter_models.h"
#include "tools/ycan/bridges_config.h"

using namespace ycantool;

namespace {

BridgesConfig parse(const std::string& text) {
    std::istringstream in(text);
    BridgesConfig c;
    std::string why;
    EXPECT_TRUE(parseBridgesConfig(in, "bench.conf", c, why)) << why;
    return c;
}

BridgePlan plan(const BridgesConfig& c, unsigned type, const std::string& port, const std::string& serial) {
    BridgePlan p;
    std::string why;
    EXPECT_TRUE(planFor(c, AdapterIdentity{ycan::findAdapterModel(type), port, serial}, p, why)) << why;
    return p;
}

using Pairs = std::vector<std::pair<uint32_t, std::string>>;

const char* kBench = R"(# a bench of three adapters
bitrate 500k
dbitrate 2M

adapter port 1-2.3      # the engine bench
channel 0 engine
channel 1 body
bitrate 250k

adapter serial A1B2C3
channel 0 chassis

adapter type 66
names bench%t-%c
sample-point 87.5

adapter serial 77AA
ignore
)";

}  // namespace

TEST(BridgesConfig, EachAdapterTakesItsSerialsEntryElseItsPortsElseItsTypesElseTheDefaults) {
    const BridgesConfig c = parse(kBench);
    ASSERT_EQ(c.entries.size(), 4u);

    // By port: its names, its bit rate over the file's, the file's data rate.
    BridgePlan p = plan(c, 43, "1-2.3", "");
    EXPECT_EQ(p.adapter.name(), "43@1-2.3");
    EXPECT_EQ(p.channels, (Pairs{{0, "engine"}, {1, "body"}}));
    EXPECT_EQ(p.args, (std::vector<std::string>{"--bitrate", "250k", "--dbitrate", "2M"}));
    EXPECT_EQ(p.line, 5);

    // The serial number's entry wins over the port's, wherever it is plugged in.
    p = plan(c, 43, "1-2.3", "A1B2C3");
    EXPECT_EQ(p.channels, (Pairs{{0, "chassis"}}));
    EXPECT_EQ(p.args, (std::vector<std::string>{"--bitrate", "500k", "--dbitrate", "2M"}));
    EXPECT_EQ(p.adapter.name(), "43@1-2.3") << "opened by its port, checked after the open";

    // By type: every channel under the entry's pattern, the type it named.
    p = plan(c, 66, "3-1", "");
    ASSERT_EQ(p.channels.size(), 8u);
    EXPECT_EQ(p.channels[7], (std::pair<uint32_t, std::string>{7, "bench66-7"}));
    EXPECT_EQ(p.adapter.type, 66u);

    // Rates and timing words are one setting two ways: an entry's rate
    // drops the file's words, an entry's words the file's rates.
    const BridgesConfig words = parse("btr 00,1C\ntiming 01400106,00800001\nbitrate 250k\n"
                                      "adapter port 1-1\nbitrate 1M\nadapter port 1-2\nbtr 00,14\n");
    EXPECT_EQ(plan(words, 4, "1-1", "").args, (std::vector<std::string>{"--bitrate", "1M"}));
    EXPECT_EQ(plan(words, 4, "1-2", "").args, (std::vector<std::string>{"--btr", "00,14"}));
    EXPECT_EQ(plan(words, 43, "1-3", "").args,
              (std::vector<std::string>{"--bitrate", "250k", "--timing", "01400106,00800001"}));

    // Nothing names it: the default pattern, stable for its port; a classic
    // adapter leaves the file's CAN FD settings out.
    p = plan(c, 4, "2-1.4", "SN1");
    EXPECT_EQ(p.channels, (Pairs{{0, "ycan2-1.4-0"}, {1, "ycan2-1.4-1"}}));
    EXPECT_EQ(p.args, (std::vector<std::string>{"--bitrate", "500k"}));
    EXPECT_EQ(p.line, 0);

    EXPECT_TRUE(plan(c, 43, "1-4", "77AA").ignore);
}

TEST(BridgesConfig, DefaultNamesFitTheKernelsFifteenCharactersAndStayForAPort) {
    const BridgesConfig c = parse("");
    const BridgePlan deep = plan(c, 66, "11-4.3.2.1", "");
    ASSERT_EQ(deep.channels.size(), 8u);
    std::set<std::string> names;
    for (const auto& [ch, name] : deep.channels) {
        EXPECT_LE(name.size(), 15u) << name;
        EXPECT_EQ(name, shortDefaultName("11-4.3.2.1", ch));
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(plan(c, 66, "11-4.3.2.1", "").channels, deep.channels) << "the same port, the same names";
    EXPECT_NE(shortDefaultName("11-4.3.2.2", 0), shortDefaultName("11-4.3.2.1", 0));

    // A pattern of the user's that gives a name too long is said, not cut.
    const BridgesConfig own = parse("names port%p-channel%c\n");
    BridgePlan p;
    std::string why;
    EXPECT_FALSE(planFor(own, AdapterIdentity{ycan::findAdapterModel(43), "1-2.3.4", ""}, p, why));
    EXPECT_NE(why.find("longer than the kernel's 15 characters"), std::string::npos) << why;
    EXPECT_FALSE(planFor(parse("names s%s-%c\n"), AdapterIdentity{ycan::findAdapterModel(43), "1-2", ""}, p, why));
    EXPECT_NE(why.find("reports no serial number"), std::string::npos) << why;
}

TEST(BridgesConfig, AFaultyFileNamesItsLineAndChangesNothing) {
    const struct {
        const char* text;
        const char* said;
    } faulty[] = {
        {"bitrate 500k\nspeed 1M\n", "bench.conf:2: unknown setting \"speed\""},
        {"channel 0 can0\n", "bench.conf:1: \"channel\" belongs to an \"adapter\" entry"},
        {"adapter port 1-2\nadapter port 1-2\n", "bench.conf:2: the entry at line 1 names this adapter too"},
        {"adapter type 41\nadapter type 43\n", "bench.conf:2: the entry at line 1 names this adapter too"},
        {"adapter port 12\n", "bench.conf:1: \"12\" is not a USB port path"},
        {"adapter slot 1\n", "bench.conf:1: expected \"adapter port PATH\""},
        {"adapter type 61\n", "bench.conf:1: device type 61 is a recorder"},
        {"adapter type 99\n", "bench.conf:1: no adapter has device type 99"},
        {"adapter type 43@1-2\n", "bench.conf:1: bad type 43@1-2"},
        {"adapter port 1-02.3\n", "bench.conf:1: \"1-02.3\" is not a USB port path"},
        {"adapter port 1-2\nchannel 8 can8\n", "bench.conf:2: expected \"channel CH INTERFACE\" with CH from 0 to 7"},
        {"adapter port 1-2\nchannel 0 a\nchannel 0 b\n", "bench.conf:3: channel 0 is named twice"},
        {"adapter port 1-2\nchannel 0 can0\nadapter port 1-3\nchannel 0 can0\n",
         "bench.conf:4: can0 is already a channel's interface at line 2"},
        {"adapter port 1-2\nchannel 0 averyveryverylongname\n", "bench.conf:2: \"averyveryverylongname\" is longer"},
        {"adapter port 1-2\nchannel 0 a/b\n", "bench.conf:2: \"a/b\": an interface name has no '/'"},
        {"names ycan%p\n", "bench.conf:1: \"ycan%p\" needs %c"},
        {"names ycan%x%c\n", "bench.conf:1: \"ycan%x%c\": a pattern takes %p"},
        {"bitrate fast\n", "bench.conf:1: bad bit rate fast"},
        {"bitrate 500k\nbitrate 250k\n", "bench.conf:2: bitrate is given twice"},
        {"sample-point 20\n", "bench.conf:1: --sample-point takes a percentage"},
        {"tx-queue 0\n", "bench.conf:1: tx-queue takes a number of frames"},
        {"adapter serial X\nignore\nchannel 0 can0\n", "bench.conf:1: an ignored adapter takes no channels"},
    };
    for (const auto& f : faulty) {
        BridgesConfig c = parse("adapter port 9-9\nchannel 0 kept\n");
        std::istringstream in(f.text);
        std::string why;
        EXPECT_FALSE(parseBridgesConfig(in, "bench.conf", c, why)) << f.text;
        EXPECT_EQ(why.rfind(f.said, 0), 0u) << "said: " << why << "\nwanted: " << f.said;
        ASSERT_EQ(c.entries.size(), 1u) << f.text;
        EXPECT_EQ(c.entries[0].channels, (Pairs{{0, "kept"}})) << f.text;
    }
}

TEST(BridgesConfig, OnlyAGivenFileMustExist) {
    BridgesConfig c;
    std::string why;
    EXPECT_TRUE(loadBridgesConfig("/nonexistent/bridges.conf", false, c, why));
    EXPECT_TRUE(c.entries.empty());
    EXPECT_FALSE(loadBridgesConfig("/nonexistent/bridges.conf", true, c, why));
    EXPECT_EQ(why, "/nonexistent/bridges.conf: cannot be read");
}
