// Key/value settings text and the custom timing text: any key and value
// give a setting of a known kind for channel 0 or 1, and a timing text is
// read within its string.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "drivers/canfd/canfd_settings_text.h"
#include "fuzz_check.h"
#include "support/hextext.h"

using namespace ycan::canfd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string key = in.ConsumeRandomLengthString(128);
    const std::string value = in.ConsumeRandomLengthString(256);

    const Setting s = parseSetting(key.c_str(), value.c_str());
    FUZZ_CHECK(s.kind >= SettingKind::None && s.kind <= SettingKind::FilterEnd);
    if (s.kind == SettingKind::None) {
        FUZZ_CHECK(s.channel == 0);
    } else {
        FUZZ_CHECK(s.channel <= 1);
    }
    if (s.kind == SettingKind::CustomTiming) FUZZ_CHECK(s.text == value.c_str());

    uint32_t abit = 0;
    uint32_t dbit = 0;
    const TimingText t = parseCustomTiming(value.c_str(), &abit, &dbit);
    FUZZ_CHECK(t == TimingText::Ok || t == TimingText::Malformed || t == TimingText::FieldTooLong);
    if (t != TimingText::Ok) FUZZ_CHECK(abit == 0 && dbit == 0);

    // The hex helpers read at most their width and stop at the string's end.
    (void)str2Byte(value.c_str());
    (void)str2Word(value.c_str());
    (void)str2DWord(value.c_str());
    if (!value.empty()) FUZZ_CHECK(char2Hex(value[0]) >= 0 && char2Hex(value[0]) <= 15);
    return 0;
}
