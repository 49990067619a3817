// The transport on a machine without USB: this process has no virtual bench
// and the host has no usbfs, so libusb finds nothing (or cannot even start).
#include <gtest/gtest.h>

#include "test_support.h"
#include "transport/QUserLibUsb.h"

using ycantest::countOf;
using ycantest::StreamCapture;

TEST(TransportWithoutUsb, OpenFailsCleanlyAndNothingMoves) {
    StreamCapture out(1);
    QUserLibUsb usb;
    EXPECT_EQ(usb.OpenUSBDevice(0x3068, 0x0009, 0), 0);
    EXPECT_EQ(usb.OpenUSBDevice(0x3068, 0x0009, 0), 0);
    uint8_t buf[64] = {};
    EXPECT_EQ(usb.WriteUSBDevice(buf, 8, 0x01, 10), -1);
    EXPECT_EQ(usb.bulkWriteUSBDevice(buf, 8, 0x02, 10), -1);
    EXPECT_EQ(usb.ReadUSBDevice(buf, 64, 0x81, 10), 0);
    EXPECT_EQ(usb.bulkReadUSBDevice(buf, 64, 0x83, 10), 0);
    EXPECT_EQ(usb.RestartUSBDevice(), 1);
    EXPECT_EQ(usb.GetUSBDeviceLinkStatus(), 0);
    EXPECT_EQ(usb.CloseUSBDevice(), 1);
    std::string text = out.text();
    EXPECT_EQ(countOf(text, "[ERROR] YORV Tip:USB Device<3068:0009:0> Not Exist...\n"), 1u) << text;
    EXPECT_EQ(countOf(text, "\n"), 1u) << text;
}
