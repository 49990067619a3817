// QDeviceUsbCanFd2: key/value settings, applied to the channel's saved
// configuration (bit rates, timing) or sent as filter commands.

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/canfd/canfd_settings_text.h"
#include "support/QErrMgr.h"

int QDeviceUsbCanFd2::setValue(const char* key, const char* value) {
    using ycan::canfd::SettingKind;
    const ycan::canfd::Setting s = ycan::canfd::parseSetting(key, value);
    switch (s.kind) {
        case SettingKind::IsoMode:
            return canIsoModeSet(s.channel, s.number);
        case SettingKind::AbitRate:
            return canAbaudrateSet(s.channel, s.number);
        case SettingKind::DbitRate:
            return canDbaudrateSet(s.channel, s.number);
        case SettingKind::CustomTiming:
            return canBaudCustom(s.channel, s.text);
        case SettingKind::FilterClear:
            return canFilterClear(s.channel, s.number);
        case SettingKind::FilterAck:
            return canFilterEnable(s.channel, s.number);
        case SettingKind::FilterMode:
            return canFilterModeSet(s.channel, s.number);
        case SettingKind::FilterStart:
            return canFilterStartIdSet(s.channel, s.hex);
        case SettingKind::FilterEnd:
            return canFilterEndIdSet(s.channel, s.hex);
        case SettingKind::None:
            break;
    }
    return 1;
}

const char* QDeviceUsbCanFd2::getValue(const char*) { return nullptr; }

int QDeviceUsbCanFd2::canIsoModeSet(uint8_t ch, int flag) {
    if (ch > kLastChannel) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    isoMode[ch] = flag != 0 ? 1 : 0;
    return 1;
}

int QDeviceUsbCanFd2::canAbaudrateSet(uint8_t ch, int rate) {
    if (ch > kLastChannel) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    unsigned word = 0;
    if (aBitTimingGet(static_cast<unsigned>(rate), &word) != 0) {
        ycan::setLastError(YCAN_ERR_BAUDRATE);
        return 0;
    }
    abitTiming[ch] = word;
    return 1;
}

int QDeviceUsbCanFd2::canDbaudrateSet(uint8_t ch, int rate) {
    if (ch > kLastChannel) return 0;
    unsigned word = 0;
    if (dBitTimingGet(static_cast<unsigned>(rate), &word) != 0) {
        ycan::setLastError(YCAN_ERR_BAUDRATE);
        return 0;
    }
    dbitTiming[ch] = word;
    return 1;
}

int QDeviceUsbCanFd2::canBaudCustom(uint8_t ch, const char* text) {
    if (ch > kLastChannel || text == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    uint32_t abit = 0;
    uint32_t dbit = 0;
    switch (ycan::canfd::parseCustomTiming(text, &abit, &dbit)) {
        case ycan::canfd::TimingText::Ok:
            break;
        case ycan::canfd::TimingText::FieldTooLong:
            ycan::setLastError(YCAN_ERR_PARAMETER);
            return 0;
        case ycan::canfd::TimingText::Malformed:
            return 0;
    }
    abitTiming[ch] = abit;
    dbitTiming[ch] = dbit;
    return 1;
}
