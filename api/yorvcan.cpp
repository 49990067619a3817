// The exported YCAN_ functions. Each call finds its route in one table
// (api/call_table.h): the family either answers without a device, or the
// call goes to the device object the registry holds for (type, index), for
// every family alike. Nothing thrown inside the library crosses this
// boundary.
#include <cxxabi.h>

#include <memory>
#include <new>

#include "api/QYCANDevMgr.h"
#include "api/call_table.h"
#include "drivers/common/library_lifetime.h"
#include "support/QErrMgr.h"
#include "support/QUserLog.h"
#include "ycan.h"

namespace {

using ycan::api::Answer;
using ycan::api::Call;

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

// One exported call: the family's answer, or op on the device. A count of
// 0 is refused first where the family checks it.
template <class Op>
int dispatch(Call call, uint32_t type, uint32_t index, Op op, uint32_t count = 1) {
    return guarded([&] {
        const ycan::api::Route& route = ycan::api::routeOf(call, ycan::findAdapterModel(type));
        if (route.answer.kind != Answer::Serve) return ycan::api::give(route.answer);
        if (route.countChecked && count == 0) return ycan::fail(YCAN_ERR_PARAMETER);
        std::shared_ptr<QDevice> dev = ycanDevMgr.deviceFind(type, index);
        if (!dev) return ycan::api::give(route.missing);
        return op(*dev);
    });
}

// The calls that answer -1 on failure, also for a call the family refuses
// or that threw.
template <class Op>
int dispatchOrMinusOne(Call call, uint32_t type, uint32_t index, Op op) {
    int result = -1;
    dispatch(call, type, index, [&](QDevice& d) {
        result = op(d);
        return 0;
    });
    return result;
}

}  // namespace

extern "C" {

YCAN_API int YCAN_OpenDevice(uint32_t type, uint32_t index) {
    // The registry looks for the device itself: open and close change it.
    return guarded([&] {
        const ycan::api::Route& route = ycan::api::routeOf(Call::Open, ycan::findAdapterModel(type));
        return route.answer.kind == Answer::Serve ? ycanDevMgr.openDevice(type, index)
                                                  : ycan::api::give(route.answer);
    });
}

YCAN_API int YCAN_CloseDevice(uint32_t type, uint32_t index) {
    return guarded([&] {
        const ycan::api::Route& route = ycan::api::routeOf(Call::Close, ycan::findAdapterModel(type));
        return route.answer.kind == Answer::Serve ? ycanDevMgr.closeDevice(type, index)
                                                  : ycan::api::give(route.answer);
    });
}

YCAN_API int YCAN_BoardInfoGet(uint32_t type, uint32_t index, _YCAN_BOARD_INFO* info) {
    return dispatch(Call::BoardInfo, type, index, [&](QDevice& d) { return d.getBoardInf(info); });
}

YCAN_API int YCAN_ClearBuffer(uint32_t type, uint32_t index, uint32_t ch) {
    return dispatch(Call::ClearBuffer, type, index, [&](QDevice& d) { return d.clearBuffer(ch); });
}

YCAN_API int YCAN_DataDirectTransfer(uint32_t type, uint32_t index, uint8_t* data, int length) {
    return dispatch(Call::DirectTransfer, type, index,
                    [&](QDevice& d) { return d.transmitData(data, static_cast<unsigned>(length)); });
}

YCAN_API int YCAN_SetFliter(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_CONFIG* config) {
    return dispatch(Call::SetFilter, type, index, [&](QDevice& d) { return d.setFliter(ch, config); });
}

YCAN_API int YCAN_GetReceiveNum(uint32_t type, uint32_t index, uint32_t ch, uint8_t kind) {
    return dispatch(kind == 0 ? Call::ReceiveNum : Call::ReceiveNumFd, type, index,
                    [&](QDevice& d) { return d.getReceiveNum(ch, kind); });
}

YCAN_API int YCAN_InitCAN(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INIT_CONFIG* config) {
    return dispatch(Call::InitCan, type, index, [&](QDevice& d) {
        int result = d.initCAN(ch, config);
        // The channel is started whatever the initialisation returned.
        d.start(ch);
        return result;
    });
}

YCAN_API int YCAN_InitCANFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_INITFD_CONFIG* config) {
    return dispatch(Call::InitCanFd, type, index, [&](QDevice& d) {
        int result = d.initCANFD(ch, config);
        return result == 1 ? d.start(ch) : result;
    });
}

YCAN_API int YCAN_Start(uint32_t type, uint32_t index, uint32_t ch) {
    return dispatch(Call::Start, type, index, [&](QDevice& d) { return d.start(ch); });
}

YCAN_API int YCAN_Stop(uint32_t type, uint32_t index, uint32_t ch) {
    return dispatch(Call::Stop, type, index, [&](QDevice& d) { return d.stop(ch); });
}

YCAN_API int YCAN_Receive(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames, uint32_t count,
                          int waitMs) {
    return dispatch(
        Call::Receive, type, index, [&](QDevice& d) { return d.receive(ch, frames, count, waitMs); }, count);
}

YCAN_API int YCAN_ReceiveFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                            uint32_t count, int waitMs) {
    return dispatch(Call::ReceiveFd, type, index,
                    [&](QDevice& d) { return d.receiveFD(ch, frames, count, waitMs); });
}

YCAN_API int YCAN_Transmit(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CAN_OBJ* frames,
                           uint32_t count) {
    return dispatch(
        Call::Transmit, type, index, [&](QDevice& d) { return d.transmit(ch, frames, count); }, count);
}

YCAN_API int YCAN_TransmitFD(uint32_t type, uint32_t index, uint32_t ch, _YCAN_CANFD_OBJ* frames,
                             uint32_t count) {
    return dispatch(Call::TransmitFd, type, index,
                    [&](QDevice& d) { return d.transmitFD(ch, frames, count); });
}

YCAN_API int YCAN_RecordSettingSet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RECORD_CONFIG* config) {
    return dispatch(Call::RecordSet, type, index, [&](QDevice& d) { return d.RecordSettingSet(ch, config); });
}

YCAN_API int YCAN_RecordSettingGet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RECORD_CONFIG* config) {
    return dispatch(Call::RecordGet, type, index, [&](QDevice& d) { return d.RecordSettingGet(ch, config); });
}

YCAN_API int YCAN_RecordCmdExecute(uint32_t type, uint32_t index, uint32_t ch, uint32_t cmd,
                                   _YCAN_FLITER_INFO* info, _YCAN_FLITER_CONFIG* config) {
    return dispatch(Call::RecordCmd, type, index,
                    [&](QDevice& d) { return d.RecordCmdExecute(ch, cmd, info, config); });
}

YCAN_API int YCAN_RecordFliterInfoGet(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_INFO* info) {
    return YCAN_RecordCmdExecute(type, index, ch, 4, info, nullptr);
}

YCAN_API int YCAN_RecordFliterClr(uint32_t type, uint32_t index, uint32_t ch) {
    return YCAN_RecordCmdExecute(type, index, ch, 0, nullptr, nullptr);
}

YCAN_API int YCAN_RecordFliterAdd(uint32_t type, uint32_t index, uint32_t ch, _YCAN_FLITER_CONFIG* config) {
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
        if (config == nullptr) return ycan::fail(YCAN_ERR_PARAMETER);
        config->FilterIndex = entry;
        return YCAN_RecordCmdExecute(type, index, ch, 5, nullptr, config);
    });
}

YCAN_API int YCAN_DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t first, uint8_t second) {
    return dispatch(Call::RelaySet, type, index, [&](QDevice& d) { return d.relayStatusSet(first, second); });
}

YCAN_API int YCAN_DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* first, uint8_t* second) {
    return dispatch(Call::RelayGet, type, index, [&](QDevice& d) { return d.relayStatusGet(first, second); });
}

YCAN_API int YCAN_DevBaudParaGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first,
                                 uint8_t* second) {
    return dispatch(Call::BaudGet, type, index,
                    [&](QDevice& d) { return d.baudParaGet(static_cast<uint8_t>(ch), first, second); });
}

YCAN_API int YCAN_DevChStateGet(uint32_t type, uint32_t index, uint32_t ch, uint8_t* first, uint8_t* second,
                                uint8_t* third) {
    return dispatch(Call::ChStateGet, type, index,
                    [&](QDevice& d) { return d.chStateGet(static_cast<uint8_t>(ch), first, second, third); });
}

// ---- Ordered and pollable receiving, link state ----------------------------

YCAN_API int YCAN_ReceiveAll(uint32_t type, uint32_t index, uint32_t ch, _YCAN_RX_FRAME* frames,
                             uint32_t count, int waitMs) {
    return dispatch(Call::ReceiveAll, type, index,
                    [&](QDevice& d) { return d.receiveAll(ch, frames, count, waitMs); });
}

YCAN_API int YCAN_GetEventFd(uint32_t type, uint32_t index) {
    return dispatchOrMinusOne(Call::EventFd, type, index, [](QDevice& d) { return d.eventFd(); });
}

YCAN_API int YCAN_GetLinkState(uint32_t type, uint32_t index, uint32_t* losses) {
    return dispatchOrMinusOne(Call::LinkState, type, index, [&](QDevice& d) { return d.linkState(losses); });
}

YCAN_API int YCAN_GetDeviceLocation(uint32_t type, uint32_t index, char* portPath, uint32_t portPathSize,
                                    char* serial, uint32_t serialSize) {
    return dispatch(Call::Location, type, index,
                    [&](QDevice& d) { return d.location(portPath, portPathSize, serial, serialSize); });
}

YCAN_API int YCAN_GetLastError(void) {
    ycan::GateScope call(ycan::lifetime::exportedCalls());
    return call ? QErrInfoMgr::getinstance()->getLastError() : YCAN_ERR_NOT_OPENED;
}

YCAN_API const char* YCAN_GetLastErrorStr(void) {
    ycan::GateScope call(ycan::lifetime::exportedCalls());
    return call ? QErrInfoMgr::getinstance()->getLastErrorStr() : QErrMgr::messageOf(YCAN_ERR_NOT_OPENED);
}

}  // extern "C"
