// QDeviceUsbCanFd2: key/value settings. A key is a channel digit followed by
// a pattern ("1/filter_mode"); only channels 0 and 1 can be set this way.
#include <cstdlib>
#include <cstring>

#include "support/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/hextext.h"

namespace {

constexpr uint8_t kLastChannel = QDeviceUsbCanFd2::kChannels - 1;
// Work buffer of one field of a custom timing text.
constexpr size_t kFieldMax = 64;

// Finds pattern in key and reads the channel character just before it.
bool keyChannel(const char* key, const char* value, const char* pattern, uint8_t* ch) {
    if (key == nullptr || value == nullptr || ch == nullptr) return false;
    const char* at = strstr(key, pattern);
    // A pattern at the very start has no channel character.
    if (at == nullptr || at == key) return false;
    int channel = char2Hex(at[-1]);
    if (channel > 1) return false;
    *ch = static_cast<uint8_t>(channel);
    return true;
}

// Copies text up to (not including) the first `end` into field; false when
// `end` is missing or the field does not fit.
bool takeField(const char*& text, char end, char (&field)[kFieldMax], bool& tooLong) {
    const char* stop = strchr(text, end);
    if (stop == nullptr) return false;
    size_t len = static_cast<size_t>(stop - text);
    memset(field, 0, sizeof field);
    if (len >= kFieldMax) {
        tooLong = true;
        return false;
    }
    memcpy(field, text, len);
    text = stop + 1;
    return true;
}

}  // namespace

int QDeviceUsbCanFd2::keyIntValueGet(const char* key, const char* value, const char* pattern,
                                     uint8_t* ch, int* out) {
    if (out == nullptr || !keyChannel(key, value, pattern, ch)) return -1;
    *out = atoi(value);
    return 0;
}

int QDeviceUsbCanFd2::keyHexValueGet(const char* key, const char* value, const char* pattern,
                                     uint8_t* ch, unsigned* out) {
    if (out == nullptr || !keyChannel(key, value, pattern, ch)) return -1;
    // "0x" anywhere in the text means the digits start at its third character.
    *out = str2DWord(strstr(value, "0x") != nullptr && strlen(value) >= 2 ? value + 2 : value);
    return 0;
}

int QDeviceUsbCanFd2::keyStrValueGet(const char* key, const char* value, const char* pattern,
                                     uint8_t* ch, const char** out) {
    if (out == nullptr || !keyChannel(key, value, pattern, ch)) return -1;
    *out = value;
    return 0;
}

int QDeviceUsbCanFd2::setValue(const char* key, const char* value) {
    uint8_t ch = 0;
    int number = 0;
    unsigned hex = 0;
    const char* text = nullptr;
    if (keyIntValueGet(key, value, "/canfd_standard", &ch, &number) == 0)
        return canIsoModeSet(ch, number);
    if (keyIntValueGet(key, value, "/canfd_abit_baud_rate", &ch, &number) == 0)
        return canAbaudrateSet(ch, number);
    if (keyIntValueGet(key, value, "/canfd_dbit_baud_rate", &ch, &number) == 0)
        return canDbaudrateSet(ch, number);
    if (keyStrValueGet(key, value, "/baud_rate_custom", &ch, &text) == 0)
        return canBaudCustom(ch, text);
    if (keyIntValueGet(key, value, "/filter_clear", &ch, &number) == 0)
        return canFilterClear(ch, number);
    if (keyIntValueGet(key, value, "/filter_ack", &ch, &number) == 0)
        return canFilterEnable(ch, number);
    if (keyIntValueGet(key, value, "/filter_mode", &ch, &number) == 0)
        return canFilterModeSet(ch, number);
    if (keyHexValueGet(key, value, "/filter_start", &ch, &hex) == 0)
        return canFilterStartIdSet(ch, hex);
    if (keyHexValueGet(key, value, "/filter_end", &ch, &hex) == 0)
        return canFilterEndIdSet(ch, hex);
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
    // ",(<number>,<8 hex digits>,<8 hex digits>)": the number is not used.
    const char* p = strstr(text, ",(");
    if (p == nullptr) return 0;
    p += 2;
    char unused[kFieldMax];
    char abit[kFieldMax];
    char dbit[kFieldMax];
    bool tooLong = false;
    if (!takeField(p, ',', unused, tooLong) || !takeField(p, ',', abit, tooLong) ||
        !takeField(p, ')', dbit, tooLong)) {
        if (tooLong) ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    abitTiming[ch] = str2DWord(abit);
    dbitTiming[ch] = str2DWord(dbit);
    return 1;
}
