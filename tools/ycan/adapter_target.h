// The adapter and channel a command works on ("TYPE:INDEX[:CH]",
// "TYPE@PORT[:CH]" or "TYPE#SERIAL[:CH]"), the
// adapter models the tool knows, and starting a channel with the bus
// settings given on the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/common/adapter_models.h"

namespace ycantool {

struct Target {
    uint32_t type = 0;
    // The library's index of the adapter: given (by Index), or found for
    // the port or serial number when it is opened (see locate()).
    uint32_t index = 0;
    uint32_t channel = 0;
    // How the user named the adapter: by its index among the attached
    // adapters of the type, its USB port path ("1-2.3"), or its USB serial
    // number string.
    enum class By { Index, Port, Serial } by = By::Index;
    std::string place;  // the port path or serial number
    // Set by locate(): the next open may use `index` without looking again.
    bool justLocated = false;
    // "ycan43-0-1": the interface name in logs.
    std::string interfaceName() const;
    // The adapter as the user named it: "43:0", "43@1-2.3", "43#A1B2".
    std::string name() const;
};

// Parses "TYPE:INDEX", "TYPE@PORT" or "TYPE#SERIAL", each optionally
// followed by ":CH" when withChannel (decimal numbers; PORT as the kernel
// writes it, BUS-PORT[.PORT...]; a SERIAL that holds a colon needs the
// ":CH"); on failure says why.
bool parseTarget(const std::string& text, bool withChannel, Target& out, std::string& why);

using ycan::AdapterFamily;
using ycan::AdapterModel;

// The models ycan looks for among attached USB devices (the reserved codes
// have none).
std::vector<const AdapterModel*> knownModels();
// The model TYPE opens; null for a code that opens no adapter.
const AdapterModel* modelOfType(uint32_t type);

struct BusSettings {
    unsigned bitRate = 500000;       // arbitration (classic: the bus)
    unsigned dataBitRate = 2000000;  // CAN FD data phase
    bool dataBitRateGiven = false;
    double samplePoint = 0;  // 0..1 for computed timings; 0: the default
    double dataSamplePoint = 0;
    bool timingWords = false;  // use abitTiming/dbitTiming instead of the rates
    uint32_t abitTiming = 0;
    uint32_t dbitTiming = 0;
    bool btrGiven = false;  // classic: SJA1000 bus timing registers
    uint8_t btr0 = 0;
    uint8_t btr1 = 0;
};

// Checks a target and its bus settings against the adapter model: the
// channel exists, every option fits the family, timing words and registers
// are within the controller's range. A bit rate without an entry in the
// adapter's table (or with a sample point asked for) becomes a computed
// timing, said on stderr with the rate it reaches. Unknown types and
// recorders pass (opening says what they are). On failure says why.
bool fitToAdapter(const Target& t, BusSettings& bus, std::string& why);

// Opens the adapter and initialises the channel (which starts it), with
// settings fitToAdapter() accepted. On
// failure prints the library's last error and returns false (the adapter is
// closed again).
// t.index becomes the index the adapter was opened at.
bool openAndStart(Target& t, const BusSettings& bus);
// The same for several channels of the adapter (t.channel is not used).
bool openAndStartChannels(Target& t, const std::vector<uint32_t>& channels, const BusSettings& bus);

// The bit rates fitted settings give: arbitration and data phase (classic:
// both the bus's).
struct BusRates {
    double nominal = 0;
    double data = 0;
};
BusRates busRates(const Target& t, const BusSettings& fitted);

// "TYPE:INDEX": the library's last error, as a line on stderr.
void reportFailure(const std::string& what);
// Why the adapter would not open, as a line on stderr: another program
// using it ("43:0 is in use by another program (pid N, COMMAND)"), or the
// library's last error.
void reportOpenFailure(const Target& t);

}  // namespace ycantool
