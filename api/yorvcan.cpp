// The exported YCAN_ functions: each call is dispatched on its device type
// code. Classic adapters (3, 4) and the reserved classic codes go to the
// usbcan2 functions; CAN FD adapters and recorders are looked up in the
// registry and reached through QDevice. Nothing thrown inside the library
// crosses this boundary.
#include <cxxabi.h>

#include <memory>
#include <new>

#include "support/QErrMgr.h"
#include "api/QYCANDevMgr.h"
#include "drivers/common/adapter_models.h"
#include "drivers/common/library_lifetime.h"
#include "drivers/usbcan/usbcan2.h"
#include "support/QUserLog.h"
#include "ycan.h"

namespace {

enum class Family { Classic, ClassicReserved, CanFd, Recorder, Unsupported };

Family familyOf(uint32_t type) {
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    if (model == nullptr) return Family::Unsupported;
    switch (model->family) {
        case ycan::AdapterFamily::Classic: return Family::Classic;
        case ycan::AdapterFamily::ClassicReserved: return Family::ClassicReserved;
        case ycan::AdapterFamily::CanFd: return Family::CanFd;
        case ycan::AdapterFamily::Recorder: return Family::Recorder;
    }
    return Family::Unsupported;
}

bool isClassic(Family f) { return f == Family::Classic || f == Family::ClassicReserved; }

using ycan::fail;

// What a registry call answers when the device is not open: error 7 for most
// calls, a plain 0 (last error untouched) for a few.
enum class NotOpen { Error7, Zero };

template <class Op>
int onDevice(uint32_t type, uint32_t index, NotOpen notOpen, Op op) {
    std::shared_ptr<QDevice> dev = ycanDevMgr.deviceFind(type, index);
    if (!dev) return notOpen == NotOpen::Error7 ? fail(YCAN_ERR_NOT_OPENED) : 0;
    return op(*dev);
}

// Runs an exported call's body; an exception becomes a failed call.
// Thread cancellation unwinds through here and must go on. The call is
// counted while it runs, so that unload waits for it; once unload has
// begun, calls fail at once without touching anything.
template <class Body>
int guarded(Body body) {
    ycan::GateScope call(ycan::lifetime::exportedCalls());
    if (!call) return 0;
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        ycan::setLastError(YCAN_ERR_MEMORY);
    } catch (const std::exception& e) {
        QUserLog::GetInstance()->Error("YCAN internal error: %s", e.what());
    } catch (...) {
        QUserLog::GetInstance()->Error("YCAN internal error");
    }
    return 0;
}

}  // namespace

extern "C" {

YCAN_API int YCAN_OpenDevice(uint32_t type, uint32_t index) {
    return guarded([&] {
        Family f = familyOf(type);
        if (isClassic(f)) return usbcan2OpenDevice(type, index, 0);
        if (f == Family::CanFd || f == Family::Recorder) return ycanDevMgr.openDevice(type, index);
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_CloseDevice(uint32_t type, uint32_t index) {
    return guarded([&] {
        Family f = familyOf(type);
        if (isClassic(f)) return usbcan2CloseDevice(type, index);
        if (f == Family::CanFd || f == Family::Recorder) return ycanDevMgr.closeDevice(type, index);
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_BoardInfoGet(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2ReadBoardInfo(type, index, info);
        if (f == Family::CanFd || f == Family::Recorder)
            return onDevice(type, index, NotOpen::Error7, [&](QDevice& d) { return d.getBoardInf(info); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_ClearBuffer(uint32_t type, uint32_t index, uint32_t ch) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2ClearBuffer(type, index, ch);
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Zero, [&](QDevice& d) { return d.clearBuffer(ch); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_DataDirectTransfer(uint32_t type, uint32_t index, uint8_t* data, int length) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2DevDataTransfer(type, index, data, length);
        if (f == Family::CanFd || f == Family::Recorder)
            return onDevice(type, index, NotOpen::Error7, [&](QDevice& d) {
                return d.transmitData(data, static_cast<unsigned>(length));
            });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_SetFliter(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_CONFIG* config) {
    return guarded([&] {
        if (familyOf(type) == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.setFliter(ch, config); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_GetReceiveNum(uint32_t type, uint32_t index, uint32_t ch, uint8_t kind) {
    return guarded([&] {
        Family f = familyOf(type);
        if (isClassic(f)) return kind == 0 ? usbcan2GetReceiveNum(type, index, ch) : 0;
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.getReceiveNum(ch, kind); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_InitCAN(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INIT_CONFIG* config) {
    return guarded([&] {
        if (familyOf(type) != Family::Classic) return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        int result = usbcan2InitCAN(type, index, ch, config);
        // The channel is started whatever the initialisation returned.
        usbcan2StartCAN(type, index, ch);
        return result;
    });
}

YCAN_API int YCAN_InitCANFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INITFD_CONFIG* config) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::ClassicReserved) return 0;
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7, [&](QDevice& d) {
                int result = d.initCANFD(ch, config);
                return result == 1 ? d.start(ch) : result;
            });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_Start(uint32_t type, uint32_t index, uint32_t ch) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2StartCAN(type, index, ch);
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7, [&](QDevice& d) { return d.start(ch); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_Stop(uint32_t type, uint32_t index, uint32_t ch) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2ResetCAN(type, index, ch);
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7, [&](QDevice& d) { return d.stop(ch); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_Receive(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames,
                          uint32_t count, int waitMs) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) {
            if (count == 0) return fail(YCAN_ERR_PARAMETER);
            return usbcan2Receive(type, index, ch, frames, count, waitMs);
        }
        if (f == Family::ClassicReserved) return 0;
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.receive(ch, frames, count, waitMs); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_ReceiveFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                            uint32_t count, int waitMs) {
    return guarded([&] {
        if (familyOf(type) == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.receiveFD(ch, frames, count, waitMs); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_Transmit(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames,
                           uint32_t count) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) {
            if (count == 0) return fail(YCAN_ERR_PARAMETER);
            return usbcan2Transmit(type, index, ch, frames, count);
        }
        if (f == Family::ClassicReserved) return 0;
        if (f == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.transmit(ch, frames, count); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

YCAN_API int YCAN_TransmitFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                             uint32_t count) {
    return guarded([&] {
        if (familyOf(type) == Family::CanFd)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.transmitFD(ch, frames, count); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

// The recorder calls answer a plain 0 for every other family.

YCAN_API int YCAN_RecordSettingSet(uint32_t type, uint32_t index, uint32_t ch,
                                   _YCAN_RECORD_CONFIG* config) {
    return guarded([&] {
        if (familyOf(type) != Family::Recorder) return 0;
        return onDevice(type, index, NotOpen::Error7,
                        [&](QDevice& d) { return d.RecordSettingSet(ch, config); });
    });
}

YCAN_API int YCAN_RecordSettingGet(uint32_t type, uint32_t index, uint32_t ch,
                                   _YCAN_RECORD_CONFIG* config) {
    return guarded([&] {
        if (familyOf(type) != Family::Recorder) return 0;
        return onDevice(type, index, NotOpen::Zero,
                        [&](QDevice& d) { return d.RecordSettingGet(ch, config); });
    });
}

YCAN_API int YCAN_RecordCmdExecute(uint32_t type, uint32_t index, uint32_t ch, uint32_t cmd,
                                   _YCAN_FLITER_INFO* info, _YCAN_FLITER_CONFIG* config) {
    return guarded([&] {
        if (familyOf(type) != Family::Recorder) return 0;
        return onDevice(type, index, NotOpen::Zero,
                        [&](QDevice& d) { return d.RecordCmdExecute(ch, cmd, info, config); });
    });
}

YCAN_API int YCAN_RecordFliterInfoGet(uint32_t type, uint32_t index, uint32_t ch,
                                      _YCAN_FLITER_INFO* info) {
    return YCAN_RecordCmdExecute(type, index, ch, 4, info, nullptr);
}

YCAN_API int YCAN_RecordFliterClr(uint32_t type, uint32_t index, uint32_t ch) {
    return YCAN_RecordCmdExecute(type, index, ch, 0, nullptr, nullptr);
}

YCAN_API int YCAN_RecordFliterAdd(uint32_t type, uint32_t index, uint32_t ch,
                                  _YCAN_FLITER_CONFIG* config) {
    return YCAN_RecordCmdExecute(type, index, ch, 1, nullptr, config);
}

YCAN_API int YCAN_RecordFliterEnable(uint32_t type, uint32_t index, uint32_t ch) {
    return YCAN_RecordCmdExecute(type, index, ch, 2, nullptr, nullptr);
}

YCAN_API int YCAN_RecordFliterDisable(uint32_t type, uint32_t index, uint32_t ch) {
    return YCAN_RecordCmdExecute(type, index, ch, 3, nullptr, nullptr);
}

YCAN_API int YCAN_RecordFliterSettingGet(uint32_t type, uint32_t index, uint32_t ch, uint16_t entry,
                                         _YCAN_FLITER_CONFIG* config) {
    return guarded([&] {
        // The entry index travels in the record, so there must be one.
        if (config == nullptr) return fail(YCAN_ERR_PARAMETER);
        config->FilterIndex = entry;
        return YCAN_RecordCmdExecute(type, index, ch, 5, nullptr, config);
    });
}

YCAN_API int YCAN_DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t first, uint8_t second) {
    return guarded([&] {
        if (familyOf(type) != Family::Classic) return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return usbcan2DevRelayStatusSet(type, index, first, second);
    });
}

YCAN_API int YCAN_DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* first, uint8_t* second) {
    return guarded([&] {
        if (familyOf(type) != Family::Classic) return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return usbcan2DevRelayStatusGet(type, index, first, second);
    });
}

YCAN_API int YCAN_DevBaudParaGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first,
                                 uint8_t* second) {
    return guarded([&] {
        if (familyOf(type) != Family::Classic) return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return usbcan2DevBaudParaGet(type, index, ch & 0xFFu, first, second);
    });
}

YCAN_API int YCAN_DevChStateGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first,
                                uint8_t* second, uint8_t* third) {
    return guarded([&] {
        if (familyOf(type) != Family::Classic) return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return usbcan2DevChStateGet(type, index, ch & 0xFFu, first, second, third);
    });
}

// ---- Ordered and pollable receiving, link state ----------------------------

YCAN_API int YCAN_ReceiveAll(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RX_FRAME* frames,
                             uint32_t count, int waitMs) {
    return guarded([&] {
        Family f = familyOf(type);
        if (f == Family::Classic) return usbcan2ReceiveAll(type, index, ch, frames, count, waitMs);
        if (f == Family::CanFd || f == Family::Recorder)
            return onDevice(type, index, NotOpen::Error7,
                            [&](QDevice& d) { return d.receiveAll(ch, frames, count, waitMs); });
        return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
    });
}

// The two calls below answer -1 on failure, also for a call that threw
// (guarded() answers 0 then).

YCAN_API int YCAN_GetEventFd(uint32_t type, uint32_t index) {
    bool failed = true;
    const int fd = guarded([&] {
        Family f = familyOf(type);
        int result = -1;
        if (f == Family::Classic) {
            result = usbcan2EventFd(type, index);
        } else if (f == Family::CanFd || f == Family::Recorder) {
            std::shared_ptr<QDevice> dev = ycanDevMgr.deviceFind(type, index);
            if (!dev) return fail(YCAN_ERR_NOT_OPENED);
            result = dev->eventFd();
        } else {
            return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        }
        failed = result < 0;
        return result;
    });
    return failed ? -1 : fd;
}

YCAN_API int YCAN_GetLinkState(uint32_t type, uint32_t index, uint32_t* losses) {
    bool failed = true;
    const int state = guarded([&] {
        Family f = familyOf(type);
        int result = -1;
        if (f == Family::Classic) {
            result = usbcan2LinkState(type, index, losses);
        } else if (f == Family::CanFd || f == Family::Recorder) {
            std::shared_ptr<QDevice> dev = ycanDevMgr.deviceFind(type, index);
            if (!dev) return fail(YCAN_ERR_NOT_OPENED);
            result = dev->linkState(losses);
        } else {
            return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
        }
        failed = result < 0;
        return result;
    });
    return failed ? -1 : state;
}

YCAN_API int YCAN_GetLastError(void) {
    ycan::GateScope call(ycan::lifetime::exportedCalls());
    return call ? QErrInfoMgr::getinstance()->getLastError() : YCAN_ERR_NOT_OPENED;
}

YCAN_API const char* YCAN_GetLastErrorStr(void) {
    ycan::GateScope call(ycan::lifetime::exportedCalls());
    return call ? QErrInfoMgr::getinstance()->getLastErrorStr()
                : QErrMgr::messageOf(YCAN_ERR_NOT_OPENED);
}

}  // extern "C"
