// The text of the CAN FD adapters' key/value settings. A key is a channel
// digit followed by a pattern ("1/filter_mode"); the digit is read as hex
// and only channels 0 and 1 can be set this way. A value is decimal, hex
// (digits after "0x") or, for a custom bit timing, the text
// ",(<number>,<8 hex digits>,<8 hex digits>)" (the number is not used).
#pragma once

#include <cstdint>

namespace ycan::canfd {

enum class SettingKind {
    None,  // no setting has this key
    IsoMode,
    AbitRate,
    DbitRate,
    CustomTiming,
    FilterClear,
    FilterAck,
    FilterMode,
    FilterStart,
    FilterEnd,
};

struct Setting {
    SettingKind kind = SettingKind::None;
    uint8_t channel = 0;
    int number = 0;              // decimal values
    unsigned hex = 0;            // filter identifiers
    const char* text = nullptr;  // the custom timing text (the value itself)
};

// What a key/value pair sets; the first pattern found in the key decides.
Setting parseSetting(const char* key, const char* value);

enum class TimingText { Ok, Malformed, FieldTooLong };
// The two timing words of a custom timing text.
TimingText parseCustomTiming(const char* text, uint32_t* abit, uint32_t* dbit);

}  // namespace ycan::canfd
