#include "drivers/common/adapter_models.h"

namespace ycan {
namespace {

constexpr AdapterModel kModels[] = {
    {3, AdapterFamily::Classic, 0x0471, 0x1200, 2, 0},
    {4, AdapterFamily::Classic, 0x0471, 0x1200, 2, 0},
    {41, AdapterFamily::CanFd, 0x3068, 0x0009, 2, 60},
    {42, AdapterFamily::CanFd, 0x3068, 0x0009, 2, 60},
    {43, AdapterFamily::CanFd, 0x3068, 0x0009, 2, 60},
    {64, AdapterFamily::CanFd, 0x0471, 0x3014, 4, 60},
    {65, AdapterFamily::CanFd, 0x0471, 0x2014, 4, 60},
    {66, AdapterFamily::CanFd, 0x0471, 0x2018, 8, 80},
    {67, AdapterFamily::CanFd, 0x0471, 0x3018, 8, 80},
    {61, AdapterFamily::Recorder, 0x0471, 0x2601, 2, 0},
    {62, AdapterFamily::Recorder, 0x0471, 0x2602, 2, 0},
    {63, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {68, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {69, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {70, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {71, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {72, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
    {73, AdapterFamily::ClassicReserved, 0, 0, 0, 0},
};

}  // namespace

const AdapterModel* findAdapterModel(uint32_t type) {
    for (const AdapterModel& m : kModels)
        if (m.type == type) return &m;
    return nullptr;
}

uint32_t registryKey(uint32_t type) {
    const AdapterModel* model = findAdapterModel(type);
    return model != nullptr && model->family == AdapterFamily::Classic ? kModels[0].type : type;
}

unsigned keptIndices(uint32_t type) {
    const AdapterModel* model = findAdapterModel(type);
    return model != nullptr && model->family == AdapterFamily::Classic ? 32 : 0;
}

}  // namespace ycan
