// ycan-virtual's control socket, driven the way a test harness drives it,
// with the library on the host side of the virtual adapters.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "adapter_fixture.h"
#include "tools/virtual_control.h"

using namespace std::chrono_literals;

namespace {

// One connection to the control socket.
class Client {
public:
    explicit Client(const std::string& path) : fd(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends one request line; its reply line, without the newline.
    std::string request(const std::string& line) {
        const std::string out = line + "\n";
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
            return "(send failed)";
        std::string reply;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
        return reply;
    }

    bool connected = false;

private:
    int fd;
};

}  // namespace

class VirtualControl : public ycantest::AdapterFixture<ycansim::VirtualCanFdAdapter> {
protected:
    void SetUp() override {
        attach(43);
        auto classic = ycantest::addAdapter<ycansim::VirtualUsbCanAdapter>(bench, 4);
        classicModel = classic.model;
        const auto fdLayout = ycansim::canFdLayout(43);
        const auto classicLayout = ycansim::usbCanLayout();
        attachment = ycanvirtual::benchAttachment(bench);
        server = std::make_unique<ycanvirtual::ControlServer>(
            *attachment,
            std::vector<ycanvirtual::ControlledAdapter>{
                {fdLayout.vendorId, fdLayout.productId, devices[0], models[0], nullptr, nullptr},
                {classicLayout.vendorId, classicLayout.productId, &classic.device, nullptr, classicModel, nullptr}});
    }
    void TearDown() override {
        AdapterFixture::TearDown();
        server.reset();
    }

    std::shared_ptr<ycansim::VirtualUsbCanAdapter> classicModel;
    std::unique_ptr<ycanvirtual::Attachment> attachment;
    std::unique_ptr<ycanvirtual::ControlServer> server;
};

TEST_F(VirtualControl, PlaysTheCanFdBusTheLibraryTalksTo) {
    Client c(server->path());
    ASSERT_TRUE(c.connected);
    ASSERT_EQ(open(43), 1);
    _YCAN_INITFD_CONFIG init{};
    init.AbitBaudRate = 1000000;
    init.DbitBaudRate = 5000000;
    init.FdEnable = 1;
    ASSERT_EQ(YCAN_InitCANFD(43, 0, 1, &init), 1);
    EXPECT_EQ(c.request("state 43:0:1"), "ok started=1 starts=1 abit=1000000 dbit=5000000 filter=off");

    // From the bus to the library, flags and all.
    EXPECT_EQ(c.request("inject 43:0:1 123#1122 1ABCDEF0##1AABBCCDD"), "ok 2");
    _YCAN_CAN_OBJ classic[2]{};
    _YCAN_CANFD_OBJ fd[2]{};
    ASSERT_EQ(YCAN_Receive(43, 0, 1, classic, 2, 2000), 1);
    ASSERT_EQ(YCAN_ReceiveFD(43, 0, 1, fd, 2, 2000), 1);
    EXPECT_EQ(classic[0].ID, 0x123u);
    EXPECT_EQ(classic[0].DataLen, 2);
    EXPECT_EQ(classic[0].Data[1], 0x22);
    EXPECT_EQ(fd[0].ID, 0x1ABCDEF0u);
    EXPECT_EQ(fd[0].ExternFlag, 1);
    EXPECT_EQ(fd[0].FrameOpt & 0x08, 0x08);  // bit rate switch
    EXPECT_EQ(fd[0].Data[3], 0xDD);

    // From the library to the bus, in the order sent.
    _YCAN_CAN_OBJ remote{};
    remote.ID = 0x7FF;
    remote.RemoteFlag = 1;
    ASSERT_EQ(YCAN_Transmit(43, 0, 1, &remote, 1), 1);
    _YCAN_CANFD_OBJ out{};
    out.ID = 0x321;
    out.FrameOpt = 0x08;
    out.DataLen = 12;
    out.Data[0] = 0xAB;
    ASSERT_EQ(YCAN_TransmitFD(43, 0, 1, &out, 1), 1);
    EXPECT_EQ(c.request("sent 43:0:1 2 2000"), "ok 7FF#R 321##1AB0000000000000000000000");
    EXPECT_EQ(c.request("sent 43:0:1"), "ok");  // taken once

    // The acceptance filter the library sets holds frames back.
    _YCAN_FLITER_CONFIG range{};
    range.FilterOp = 1;
    range.StartId = 0x100;
    range.EndId = 0x1FF;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &range), 1);
    _YCAN_FLITER_CONFIG enable{};
    enable.FilterOp = 2;
    ASSERT_EQ(YCAN_SetFliter(43, 0, 1, &enable), 1);
    EXPECT_EQ(c.request("state 43:0:1"),
              "ok started=1 starts=1 abit=1000000 dbit=5000000 filter=on std:100-1FF");
    EXPECT_EQ(c.request("inject 43:0:1 0FF#01 00000150#02 150#03 200#04"), "ok 4");
    ASSERT_EQ(YCAN_Receive(43, 0, 1, classic, 2, 2000), 1);
    EXPECT_EQ(classic[0].ID, 0x150u);
    EXPECT_EQ(classic[0].ExternFlag, 0);
    EXPECT_EQ(YCAN_Receive(43, 0, 1, classic, 2, 100), 0);
}

TEST_F(VirtualControl, PlaysTheClassicBusAndPullsAdaptersOut) {
    Client c(server->path());
    ASSERT_TRUE(c.connected);
    ASSERT_EQ(open(4), 1);
    _YCAN_INIT_CONFIG init{};
    init.BusTiming0 = 0x00;
    init.BusTiming1 = 0x14;
    ASSERT_EQ(YCAN_InitCAN(4, 0, 1, &init), 1);
    EXPECT_EQ(c.request("state 4:0:1"), "ok started=1 starts=1 btr=00,14");
    // Types 3 and 4 are the same adapter.
    EXPECT_EQ(c.request("inject 3:0:1 555#R2 1FFFFFFF#0102"), "ok 2");
    _YCAN_CAN_OBJ got[2]{};
    int n = 0;
    for (auto until = std::chrono::steady_clock::now() + 2s;
         n < 2 && std::chrono::steady_clock::now() < until;)
        n += YCAN_Receive(4, 0, 1, got + n, static_cast<uint32_t>(2 - n), 200);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(got[0].RemoteFlag, 1);
    EXPECT_EQ(got[0].DataLen, 2);
    EXPECT_EQ(got[1].ID, 0x1FFFFFFFu);
    EXPECT_EQ(got[1].ExternFlag, 1);

    // Unplugged and back: the library restores the channel, and the bus
    // reaches it again.
    EXPECT_EQ(c.request("unplug 4:0"), "ok");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(c.request("replug 4:0"), "ok");
    bool back = false;
    for (auto until = std::chrono::steady_clock::now() + 5s;
         !back && std::chrono::steady_clock::now() < until;) {
        c.request("inject 4:0:1 123#01");
        back = YCAN_Receive(4, 0, 1, got, 1, 100) == 1;
    }
    EXPECT_TRUE(back);
}

TEST_F(VirtualControl, RefusesWhatItCannotDoAndServesTheNextClient) {
    {
        Client c(server->path());
        ASSERT_TRUE(c.connected);
        EXPECT_EQ(c.request("inject 61:0:0 123#00"), "error no adapter 61:0");
        EXPECT_EQ(c.request("inject 43:1:0 123#00"), "error no adapter 43:1");
        EXPECT_EQ(c.request("inject 43:0:2 123#00"), "error no channel 2 on 43:0:2");
        EXPECT_EQ(c.request("inject 4:0:0 123##100"),
                  "error 123##100: a classic adapter carries no CAN FD frames");
        EXPECT_EQ(c.request("sent 43:0:0 x"), "error expected sent TYPE:INDEX:CH [N [MS]]");
        EXPECT_EQ(c.request("replug 43"), "error expected replug TYPE:INDEX");
        EXPECT_EQ(c.request(""), "error empty request");
        EXPECT_EQ(c.request("fly 43:0:0"), "error unknown request fly");
        // A frame that does not parse sends none of the request's frames.
        EXPECT_EQ(c.request("inject 43:0:0 123#00 12#00").rfind("error 12#00: ", 0), 0u);
        EXPECT_EQ(models[0]->framesWaiting(), 0u);
    }
    Client next(server->path());
    ASSERT_TRUE(next.connected);
    EXPECT_EQ(next.request("state 43:0:0"), "ok started=0 starts=0 filter=off");
}
