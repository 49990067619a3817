// What each exported call does for each adapter family, in one table:
// either the call is served by the device found in the registry, or the
// family answers it without a device (the codes reserved for the classic
// family are never open; codes the library does not know have no family).
// A served call whose device is not there (a CAN FD adapter or recorder
// that is not open, a classic index past the kept ones) answers with the
// family's "missing" entry.
#pragma once

#include <cstdint>

#include "drivers/common/adapter_models.h"

namespace ycan::api {

enum class Call : uint8_t {
    Open,
    Close,
    BoardInfo,
    ClearBuffer,
    DirectTransfer,
    SetFilter,
    ReceiveNum,    // classic frames waiting (kind 0)
    ReceiveNumFd,  // any other kind
    InitCan,
    InitCanFd,
    Start,
    Stop,
    Receive,
    ReceiveFd,
    Transmit,
    TransmitFd,
    RecordSet,
    RecordGet,
    RecordCmd,
    RelaySet,
    RelayGet,
    BaudGet,
    ChStateGet,
    ReceiveAll,
    EventFd,
    LinkState,
    Location,
    Count
};

struct Answer {
    enum Kind : uint8_t {
        Serve,  // call the device
        Zero,   // 0, last error untouched
        One,    // 1, last error untouched
        Error,  // 0 with last error `code`
    } kind;
    uint8_t code = 0;
};

struct Route {
    Answer answer;   // without looking for a device, unless Serve
    Answer missing;  // served, but no device
    // The classic family refuses a count of 0 (last error 8) before it looks.
    bool countChecked = false;
};

// The route of a call for a model's family; a null model is a code the
// library does not know.
const Route& routeOf(Call call, const AdapterModel* model);
// Gives the answer: its result, with the last error it sets.
int give(const Answer& answer);

}  // namespace ycan::api
