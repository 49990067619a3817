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

struct LogConfig {
    int level = 1;  // LOG_DEBUG
    char dir[256] = {};
    bool fileOutput = false;
};

// Applies what f says to config; keys it does not name keep their values.
void readLogConfig(FILE* f, LogConfig& config);
