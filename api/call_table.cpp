#include "api/call_table.h"

#include <iterator>

#include "support/QErrMgr.h"
#include "ycan.h"

namespace ycan::api {
namespace {

constexpr Answer S{Answer::Serve};
constexpr Answer Z{Answer::Zero};
constexpr Answer ONE{Answer::One};
constexpr Answer E6{Answer::Error, YCAN_ERR_TYPE_NOT_SUPPORTED};
constexpr Answer E7{Answer::Error, YCAN_ERR_NOT_OPENED};
constexpr Answer E8{Answer::Error, YCAN_ERR_PARAMETER};
constexpr Answer E13{Answer::Error, YCAN_ERR_CAN_NOT_INITIALIZED};
constexpr Answer NONE = Z;  // a missing entry the group never needs

struct Row {
    Call call;
    Answer classic, reserved, canfd, recorder, unknown;
    Answer classicMissing;  // index past the kept classic objects
    Answer notOpen;         // CAN FD adapter or recorder not open
    bool countChecked = false;
};

// The answers of a classic index past the kept objects are those the
// classic family gives for a bad index: 8 where the call checks the index
// first, else the call's own refusal.
constexpr Row kRows[] = {
    //                     classic reserved canfd recorder unknown  classic past  not open
    {Call::Open, S, E6, S, S, E6, E8, NONE},          {Call::Close, S, E6, S, S, E6, E8, ONE},
    {Call::BoardInfo, S, E6, S, S, E6, E7, E7},       {Call::ClearBuffer, S, E6, S, E6, E6, E13, Z},
    {Call::DirectTransfer, S, E6, S, S, E6, E8, E7},  {Call::SetFilter, E6, E6, S, E6, E6, NONE, E7},
    {Call::ReceiveNum, S, E13, S, E6, E6, E13, E7},   {Call::ReceiveNumFd, Z, Z, S, E6, E6, NONE, E7},
    {Call::InitCan, S, E6, E6, E6, E6, E13, NONE},    {Call::InitCanFd, E6, Z, S, E6, E6, NONE, E7},
    {Call::Start, S, E6, S, E6, E6, E13, E7},         {Call::Stop, S, E6, S, E6, E6, E8, E7},
    {Call::Receive, S, Z, S, E6, E6, E8, E7, true},   {Call::ReceiveFd, E6, E6, S, E6, E6, NONE, E7},
    {Call::Transmit, S, Z, S, E6, E6, E13, E7, true}, {Call::TransmitFd, E6, E6, S, E6, E6, NONE, E7},
    {Call::RecordSet, Z, Z, Z, S, Z, NONE, E7},       {Call::RecordGet, Z, Z, Z, S, Z, NONE, Z},
    {Call::RecordCmd, Z, Z, Z, S, Z, NONE, Z},        {Call::RelaySet, S, E6, E6, E6, E6, E8, NONE},
    {Call::RelayGet, S, E6, E6, E6, E6, E8, NONE},    {Call::BaudGet, S, E6, E6, E6, E6, E8, NONE},
    {Call::ChStateGet, S, E6, E6, E6, E6, E8, NONE},  {Call::ReceiveAll, S, E6, S, S, E6, E8, E7},
    {Call::EventFd, S, E6, S, S, E6, E8, E7},         {Call::LinkState, S, E6, S, S, E6, E8, E7},
    {Call::Location, S, E6, S, S, E6, E8, E7},
};
static_assert(std::size(kRows) == static_cast<size_t>(Call::Count));

constexpr bool rowsInCallOrder() {
    for (size_t i = 0; i < std::size(kRows); ++i)
        if (static_cast<size_t>(kRows[i].call) != i) return false;
    return true;
}
static_assert(rowsInCallOrder());

// Columns: the four families in their enum's order, then unknown codes.
constexpr size_t kUnknown = 4;
constexpr size_t column(AdapterFamily f) { return static_cast<size_t>(f); }
static_assert(column(AdapterFamily::Recorder) < kUnknown);

struct Routes {
    Route byFamily[static_cast<size_t>(Call::Count)][kUnknown + 1];
    constexpr Routes() : byFamily{} {
        for (const Row& r : kRows) {
            auto& g = byFamily[static_cast<size_t>(r.call)];
            g[column(AdapterFamily::Classic)] = {r.classic, r.classicMissing, r.countChecked};
            g[column(AdapterFamily::ClassicReserved)] = {r.reserved, NONE};
            g[column(AdapterFamily::CanFd)] = {r.canfd, r.notOpen};
            g[column(AdapterFamily::Recorder)] = {r.recorder, r.notOpen};
            g[kUnknown] = {r.unknown, NONE};
        }
    }
};
constexpr Routes kRoutes;

}  // namespace

const Route& routeOf(Call call, const AdapterModel* model) {
    return kRoutes.byFamily[static_cast<size_t>(call)][model != nullptr ? column(model->family) : kUnknown];
}

int give(const Answer& answer) {
    switch (answer.kind) {
        case Answer::One:
            return 1;
        case Answer::Error:
            return fail(answer.code);
        case Answer::Serve:
        case Answer::Zero:
            break;
    }
    return 0;
}

}  // namespace ycan::api
