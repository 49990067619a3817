#include "drivers/common/adapter_models.h"

namespace ycan {
namespace {

constexpr AdapterModel kModels[] = {
    // family                       vendor  product channels clock  type codes
    {AdapterFamily::Classic, 0x0471, 0x1200, 2, 0, {3, 4}},
    {AdapterFamily::CanFd, 0x3068, 0x0009, 2, 60, {41, 42, 43}},
    {AdapterFamily::CanFd, 0x0471, 0x3014, 4, 60, {64}},
    {AdapterFamily::CanFd, 0x0471, 0x2014, 4, 60, {65}},
    {AdapterFamily::CanFd, 0x0471, 0x2018, 8, 80, {66}},
    {AdapterFamily::CanFd, 0x0471, 0x3018, 8, 80, {67}},
    {AdapterFamily::Recorder, 0x0471, 0x2601, 2, 0, {61}},
    {AdapterFamily::Recorder, 0x0471, 0x2602, 2, 0, {62}},
    {AdapterFamily::ClassicReserved, 0, 0, 0, 0, {63, 68, 69, 70, 71, 72, 73}},
};

constexpr unsigned kClassicKept = 32;

}  // namespace

bool AdapterModel::opens(uint32_t type) const {
    for (uint32_t t : types)
        if (t != 0 && t == type) return true;
    return false;
}

uint32_t AdapterModel::preferredType() const {
    uint32_t last = 0;
    for (uint32_t t : types)
        if (t != 0) last = t;
    return last;
}

std::span<const AdapterModel> adapterModels() { return kModels; }

const AdapterModel* findAdapterModel(uint32_t type) {
    for (const AdapterModel& m : kModels)
        if (m.opens(type)) return &m;
    return nullptr;
}

const char* familyName(AdapterFamily family) {
    switch (family) {
        case AdapterFamily::Classic:
            return "CAN";
        case AdapterFamily::CanFd:
            return "CAN FD";
        case AdapterFamily::Recorder:
            return "recorder";
        case AdapterFamily::ClassicReserved:
            break;
    }
    return "reserved";
}

uint32_t registryKey(uint32_t type) {
    const AdapterModel* model = findAdapterModel(type);
    return model != nullptr && model->family == AdapterFamily::Classic ? model->types[0] : type;
}

unsigned keptIndices(uint32_t type) {
    const AdapterModel* model = findAdapterModel(type);
    return model != nullptr && model->family == AdapterFamily::Classic ? kClassicKept : 0;
}

}  // namespace ycan
