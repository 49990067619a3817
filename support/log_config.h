// The logger's configuration text (QUserLog.ini):
//
//   [LogConfig]
//   LogLevel = 2        ; 0 TRACE .. 5 FATAL
//   LogPath = ./logs
//   FileOutput = 1
//
// Lines of other sections, comments (';') and lines without '=' are
// skipped; a line longer than 255 characters ends the reading, and what was
// read before it stays in force.
#pragma once

#include <cstdio>

enum LogLevel { LOG_TRACE = 0, LOG_DEBUG = 1, LOG_INFO = 2, LOG_WARN = 3, LOG_ERROR = 4, LOG_FATAL = 5 };

struct LogConfig {
    int level = LOG_DEBUG;
    char dir[256] = {};
    bool fileOutput = false;
};

// Applies what f says to config; keys it does not name keep their values.
void readLogConfig(FILE* f, LogConfig& config);

// Skips leading white space and cuts trailing white space off in place,
// keeping at least the first character after the leading blanks.
char* trimWhitespace(char* text);
