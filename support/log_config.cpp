#include "support/log_config.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "support/hextext.h"

namespace {

constexpr size_t kConfigLineMax = 255;

// Reads one line of at most kConfigLineMax characters (newline not stored).
// Returns false at the end of the file and for a longer line.
bool readConfigLine(FILE* f, char (&line)[kConfigLineMax + 1]) {
    size_t n = 0;
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
        if (n == kConfigLineMax) return false;
        line[n++] = static_cast<char>(c);
    }
    line[n] = '\0';
    return !(c == EOF && n == 0);
}

}  // namespace

char* trimWhitespace(char* text) {
    if (text == nullptr || *text == '\0') return text;
    while (*text != '\0' && isspace(static_cast<unsigned char>(*text))) ++text;
    char* end = text + strlen(text);
    while (end > text + 1 && isspace(static_cast<unsigned char>(end[-1]))) --end;
    *end = '\0';
    return text;
}

void readLogConfig(FILE* f, LogConfig& config) {
    bool inSection = false;
    char line[kConfigLineMax + 1];
    while (readConfigLine(f, line)) {
        char* text = trimWhitespace(line);
        size_t len = strlen(text);
        if (len == 0 || text[0] == ';') continue;
        if (text[0] == '[' && text[len - 1] == ']') {
            // "[]" names no section: what follows is outside LogConfig.
            char name[64] = {};
            inSection = sscanf(text, "[%63[^]]]", name) == 1 && strcmp(name, "LogConfig") == 0;
            continue;
        }
        if (!inSection) continue;
        char* eq = strchr(text, '=');
        if (eq == nullptr) continue;
        *eq = '\0';
        char* key = trimWhitespace(text);
        char* value = trimWhitespace(eq + 1);
        if (char* comment = strchr(value, ';')) *comment = '\0';
        value = trimWhitespace(value);

        if (strcmp(key, "LogLevel") == 0) {
            int level = decimalText(value);
            if (level >= LOG_TRACE && level <= LOG_FATAL) config.level = level;
        } else if (strcmp(key, "LogPath") == 0) {
            snprintf(config.dir, sizeof config.dir, "%s", value);
        } else if (strcmp(key, "FileOutput") == 0) {
            config.fileOutput = decimalText(value) == 1;
        }
    }
}
