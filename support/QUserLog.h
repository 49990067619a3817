// The library's log: every line goes to standard output and, when
// QUserLog.ini in the working directory asks for it, to a daily file.
//
// QUserLog.ini:
//   [LogConfig]
//   LogLevel = 2        ; 0 TRACE .. 5 FATAL, lines below it are dropped
//   LogPath = ./logs    ; directory of QUserLog_YYYYMMDD.log
//   FileOutput = 1      ; 1 writes the file, anything else does not
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/QUserMutex.h"
#include "support/log_config.h"

#define YCAN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

class QUserLog {
public:
    // The process's one log, created (and configured) on first use
    // (thread-safe). Every line is already flushed when Log returns.
    static QUserLog* GetInstance();
    // Frees it at library unload, once no other thread can log; a later
    // GetInstance() creates a fresh one.
    static void DestroyInstance();

    // A log configured from QUserLog.ini in the current directory. Only the
    // instance above is used by the library; tests build their own.
    QUserLog();
    ~QUserLog();
    QUserLog(const QUserLog&) = delete;
    QUserLog& operator=(const QUserLog&) = delete;

    void Trace(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Debug(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Info(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Warn(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Error(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Fatal(const char* format, ...) YCAN_PRINTF_LIKE(2, 3);
    void Log(LogLevel level, const char* format, va_list args) YCAN_PRINTF_LIKE(3, 0);

    bool Init();
    // Reads QUserLog.ini again without reopening the file; the library
    // itself reads it through Init and ReloadConfig.
    void LoadConfig();
    bool ReloadConfig();
    // Writes what the file buffer holds. Every line is flushed as it is
    // logged, so the library never needs it; for callers that log directly.
    void Flush();
    static bool CreateDirectory(const char* path);
    std::string GetLogFileName() const;
    // The configuration reader's trimming (trimWhitespace in log_config.h).
    static char* TrimWhitespace(char* text) { return trimWhitespace(text); }

    // Current settings, for inspection.
    LogLevel minLevel() const { return minimumLevel.load(std::memory_order_relaxed); }
    std::string logDirectory();
    bool fileOutputEnabled();

private:
    bool initLocked();
    void loadConfigLocked();
    void flushLocked();

    // Read without the lock by Log's level test; written under it.
    std::atomic<LogLevel> minimumLevel{LOG_DEBUG};
    char logDir[256] = {};
    bool fileOutput = false;
    FILE* file = nullptr;
    char fileBuf[1024] = {};
    int32_t fileBufFill = 0;
    // Serialises a line's console write with its append and flush to the
    // file, and configuration changes with both.
    QRecursiveMutex lock;
};
