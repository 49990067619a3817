// Frames to generate, chosen as cangen chooses them: the identifier, the
// length and the data each random, incrementing or fixed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ycan/frame_text.h"

namespace ycantool {

struct GeneratorSettings {
    enum class Mode { Random, Increment, Fixed };
    Mode idMode = Mode::Random;
    uint32_t id = 0;
    Mode lenMode = Mode::Random;
    unsigned len = 0;
    Mode dataMode = Mode::Random;
    std::vector<uint8_t> data;   // fixed data (its length is the frame's unless -L says otherwise)
    bool extended = false;       // -e: 29-bit identifiers
    bool remote = false;         // -R: remote frames
    bool fd = false;             // -f: CAN FD frames
    bool bitRateSwitch = false;  // -b: CAN FD frames with bit rate switch
};

// Parses the value of -I, -L or -D: "r", "i" or a fixed hex value (a number
// for -L); on a bad one says why.
bool parseIdMode(const std::string& text, GeneratorSettings& s, std::string& why);
bool parseLenMode(const std::string& text, GeneratorSettings& s, std::string& why);
bool parseDataMode(const std::string& text, GeneratorSettings& s, std::string& why);
// Whether the settings make frames the bus carries; says why not.
bool checkSettings(const GeneratorSettings& s, std::string& why);

class FrameGenerator {
public:
    FrameGenerator(const GeneratorSettings& s, uint32_t seed);
    // Frame number k (from 0). The same k gives the same frame, so a frame
    // the adapter did not take can be offered again unchanged.
    TextFrame frame(uint64_t k) const;

private:
    GeneratorSettings settings;
    uint32_t seed;
};

}  // namespace ycantool
