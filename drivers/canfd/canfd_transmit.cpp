// QDeviceUsbCanFd2: transmit path.
#include "drivers/canfd/QDeviceUsbCanFd2.h"

int QDeviceUsbCanFd2::transmit(unsigned, _YCAN_CAN_OBJ*, unsigned) {
    return 0;  // NOT YET IMPLEMENTED: data packets on bulk endpoint 0x02
}

int QDeviceUsbCanFd2::transmitFD(unsigned, _YCAN_CANFD_OBJ*, unsigned) {
    return 0;  // NOT YET IMPLEMENTED: data packets on bulk endpoint 0x02
}
