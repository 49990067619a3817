// The logger's configuration text: any file content leaves a level in
// range and a terminated path, and keys outside [LogConfig] change nothing.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_check.h"
#include "support/log_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (f == nullptr) return 0;
    LogConfig config;
    config.level = 3;
    snprintf(config.dir, sizeof config.dir, "%s", "unchanged");
    readLogConfig(f, config);
    fclose(f);
    FUZZ_CHECK(config.level >= 0 && config.level <= 5);
    FUZZ_CHECK(memchr(config.dir, '\0', sizeof config.dir) != nullptr);
    if (memmem(data, size, "LogConfig", 9) == nullptr) {
        FUZZ_CHECK(config.level == 3);
        FUZZ_CHECK(strcmp(config.dir, "unchanged") == 0);
        FUZZ_CHECK(!config.fileOutput);
    }
    return 0;
}
