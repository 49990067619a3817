// The udev rules installed with the library: every line is well formed, and
// every vendor/product id the drivers open (and no other) is tagged for the
// logged-in user and given to group plugdev.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "drivers/common/adapter_models.h"

namespace {

// KEY, KEY{attribute}, then an operator and a quoted value.
const std::regex kAssignment(R"re(^([A-Z_]+)(\{([A-Za-z0-9_]+)\})?(==|!=|\+=|-=|:=|=)"([^"]*)"$)re");

std::vector<std::string> splitPairs(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            out.push_back(field);
            field.clear();
            continue;
        }
        if (field.empty() && c == ' ') continue;
        field += c;
    }
    if (!field.empty()) out.push_back(field);
    return out;
}

}  // namespace

TEST(UdevRules, EveryLineIsWellFormedAndEveryAdapterIdIsTaggedForTheUserAndTheGroup) {
    std::ifstream in(YCAN_UDEV_RULES);
    ASSERT_TRUE(in.good()) << YCAN_UDEV_RULES;
    std::set<std::pair<std::string, std::string>> tagged;
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        std::string vendor, product;
        bool usbDevice = false, uaccess = false, group = false, mode = false;
        for (const std::string& pair : splitPairs(line)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(pair, m, kAssignment)) << "line " << n << ": " << pair;
            const std::string key = m[1], attr = m[3], op = m[4], value = m[5];
            if (key == "SUBSYSTEM" && op == "==" && value == "usb") usbDevice = true;
            if (key == "ATTR" && attr == "idVendor" && op == "==") vendor = value;
            if (key == "ATTR" && attr == "idProduct" && op == "==") product = value;
            if (key == "TAG" && op == "+=" && value == "uaccess") uaccess = true;
            if (key == "GROUP" && op == "=" && value == "plugdev") group = true;
            if (key == "MODE" && op == "=" && value == "0660") mode = true;
        }
        EXPECT_TRUE(usbDevice && uaccess && group && mode && vendor.size() == 4 && product.size() == 4)
            << "line " << n;
        tagged.insert({vendor, product});
    }

    std::set<std::pair<std::string, std::string>> opened;
    for (uint32_t type = 0; type < 256; ++type) {
        const ycan::AdapterModel* m = ycan::findAdapterModel(type);
        if (m == nullptr || m->vendorId == 0) continue;
        char v[8], p[8];
        snprintf(v, sizeof v, "%04x", m->vendorId);
        snprintf(p, sizeof p, "%04x", m->productId);
        opened.insert({v, p});
    }
    EXPECT_EQ(tagged, opened);

    // Where udev can check the file itself, it must agree.
    if (std::system("udevadm verify --help >/dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system((std::string("udevadm verify --no-style ") + YCAN_UDEV_RULES).c_str()), 0);
    }
}
