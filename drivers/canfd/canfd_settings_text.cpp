#include "drivers/canfd/canfd_settings_text.h"

#include <cstdlib>
#include <cstring>

#include "support/hextext.h"

namespace ycan::canfd {

namespace {

// Work buffer of one field of a custom timing text.
constexpr size_t kFieldMax = 64;

// Finds pattern in key and reads the channel character just before it.
bool keyChannel(const char* key, const char* pattern, uint8_t* ch) {
    const char* at = strstr(key, pattern);
    // A pattern at the very start has no channel character.
    if (at == nullptr || at == key) return false;
    int channel = char2Hex(at[-1]);
    if (channel > 1) return false;
    *ch = static_cast<uint8_t>(channel);
    return true;
}

// "0x" anywhere in the text means the digits start at its third character.
unsigned hexValue(const char* value) { return str2DWord(strstr(value, "0x") != nullptr ? value + 2 : value); }

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

struct Pattern {
    const char* text;
    SettingKind kind;
    enum { Decimal, Hex, Text } value;
};

constexpr Pattern kPatterns[] = {
    {"/canfd_standard", SettingKind::IsoMode, Pattern::Decimal},
    {"/canfd_abit_baud_rate", SettingKind::AbitRate, Pattern::Decimal},
    {"/canfd_dbit_baud_rate", SettingKind::DbitRate, Pattern::Decimal},
    {"/baud_rate_custom", SettingKind::CustomTiming, Pattern::Text},
    {"/filter_clear", SettingKind::FilterClear, Pattern::Decimal},
    {"/filter_ack", SettingKind::FilterAck, Pattern::Decimal},
    {"/filter_mode", SettingKind::FilterMode, Pattern::Decimal},
    {"/filter_start", SettingKind::FilterStart, Pattern::Hex},
    {"/filter_end", SettingKind::FilterEnd, Pattern::Hex},
};

}  // namespace

Setting parseSetting(const char* key, const char* value) {
    Setting s;
    if (key == nullptr || value == nullptr) return s;
    for (const Pattern& p : kPatterns) {
        if (!keyChannel(key, p.text, &s.channel)) continue;
        s.kind = p.kind;
        switch (p.value) {
            case Pattern::Decimal:
                s.number = decimalText(value);
                break;
            case Pattern::Hex:
                s.hex = hexValue(value);
                break;
            case Pattern::Text:
                s.text = value;
                break;
        }
        return s;
    }
    s.channel = 0;
    return s;
}

TimingText parseCustomTiming(const char* text, uint32_t* abit, uint32_t* dbit) {
    const char* p = strstr(text, ",(");
    if (p == nullptr) return TimingText::Malformed;
    p += 2;
    char unused[kFieldMax];
    char a[kFieldMax];
    char d[kFieldMax];
    bool tooLong = false;
    if (!takeField(p, ',', unused, tooLong) || !takeField(p, ',', a, tooLong) ||
        !takeField(p, ')', d, tooLong))
        return tooLong ? TimingText::FieldTooLong : TimingText::Malformed;
    *abit = str2DWord(a);
    *dbit = str2DWord(d);
    return TimingText::Ok;
}

}  // namespace ycan::canfd
