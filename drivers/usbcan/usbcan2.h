// Entry points of the classic USB CAN driver (device types 3 and 4). The
// exported functions call these directly with the device type, the device
// index and, where relevant, the channel.
#pragma once

#include <cstdint>

#include "ycan.h"

extern "C" {
// Parameter and state checks. usbcan2DevParaIsValid sets last error 6 for a
// type other than 3 or 4 and 8 for an index of 32 or more or a channel of 2
// or more.
int usbcan2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2IsOpen(uint32_t type, uint32_t index);
int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t channel);

int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t reserved);
int usbcan2CloseDevice(uint32_t type, uint32_t index);
int usbcan2InitCAN(uint32_t type, uint32_t index, uint32_t channel, _YCAN_INIT_CONFIG* config);
int usbcan2StartCAN(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ResetCAN(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ReadBoardInfo(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info);
int usbcan2DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t first, uint8_t second);
int usbcan2DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* first, uint8_t* second);
int usbcan2DevBaudParaGet(uint32_t type, uint32_t index, uint32_t channel, uint8_t* first,
                          uint8_t* second);
int usbcan2DevChStateGet(uint32_t type, uint32_t index, uint32_t channel, uint8_t* first,
                         uint8_t* second, uint8_t* third);
int usbcan2DevDataTransfer(uint32_t type, uint32_t index, uint8_t* data, int length);
int usbcan2Transmit(uint32_t type, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                    unsigned long count);
int usbcan2Receive(uint32_t type, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ* frames,
                   unsigned max, int waitMs);
int usbcan2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel);
int usbcan2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel);
}
