#include "support/QUserLog.h"
#include "support/log_config.h"

#include <atomic>
#include <mutex>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kLevelLabel[] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};
constexpr const char* kConfigFile = "QUserLog.ini";

constinit std::atomic<QUserLog*> theLog{nullptr};
std::mutex theLogCreation;
}  // namespace

QUserLog* QUserLog::GetInstance() {
    QUserLog* log = theLog.load(std::memory_order_acquire);
    if (log != nullptr) return log;
    std::lock_guard guard(theLogCreation);
    log = theLog.load(std::memory_order_relaxed);
    if (log == nullptr) {
        log = new QUserLog();
        theLog.store(log, std::memory_order_release);
    }
    return log;
}

void QUserLog::DestroyInstance() { delete theLog.exchange(nullptr, std::memory_order_acq_rel); }

QUserLog::QUserLog() { Init(); }

QUserLog::~QUserLog() {
    std::lock_guard guard(lock);
    flushLocked();
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
}

#define YCAN_LOG_ENTRY(name, level)                \
    void QUserLog::name(const char* format, ...) { \
        va_list args;                              \
        va_start(args, format);                    \
        Log(level, format, args);                  \
        va_end(args);                              \
    }
YCAN_LOG_ENTRY(Trace, LOG_TRACE)
YCAN_LOG_ENTRY(Debug, LOG_DEBUG)
YCAN_LOG_ENTRY(Info, LOG_INFO)
YCAN_LOG_ENTRY(Warn, LOG_WARN)
YCAN_LOG_ENTRY(Error, LOG_ERROR)
YCAN_LOG_ENTRY(Fatal, LOG_FATAL)
#undef YCAN_LOG_ENTRY

void QUserLog::Log(LogLevel level, const char* format, va_list args) {
    if (level < minimumLevel.load(std::memory_order_relaxed)) return;

    char stamp[32];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    if (static_cast<int>(level) > LOG_FATAL || static_cast<int>(level) < LOG_TRACE) return;

    char message[1024];
    vsnprintf(message, sizeof message, format, args);
    char line[1280];
    int len = snprintf(line, sizeof line, "[%s] [%s] %s\n", stamp, kLevelLabel[level], message);
    if (len < 0) return;
    if (len >= static_cast<int>(sizeof line)) len = sizeof line - 1;

    std::lock_guard guard(lock);
    fwrite(line, 1, static_cast<size_t>(len), stdout);
    if (fileOutput && file != nullptr) {
        if (fileBufFill + len > 1023) flushLocked();
        // A line of 1024 bytes or more never fits the buffer: console only.
        if (fileBufFill + len <= 1023) {
            memcpy(fileBuf + fileBufFill, line, static_cast<size_t>(len));
            fileBufFill += len;
        }
        flushLocked();
    }
}

void QUserLog::Flush() {
    std::lock_guard guard(lock);
    flushLocked();
}

void QUserLog::flushLocked() {
    if (!fileOutput || file == nullptr || fileBufFill <= 0) return;
    fwrite(fileBuf, 1, static_cast<size_t>(fileBufFill), file);
    fflush(file);
    fileBufFill = 0;
    memset(fileBuf, 0, sizeof fileBuf);
}

bool QUserLog::Init() {
    std::lock_guard guard(lock);
    return initLocked();
}

bool QUserLog::initLocked() {
    loadConfigLocked();
    if (!fileOutput || logDir[0] == '\0') return true;
    if (!CreateDirectory(logDir)) {
        fprintf(stderr, "Failed to create log directory: %s\n", logDir);
        fileOutput = false;
        return false;
    }
    std::string name = GetLogFileName();
    if (file != nullptr) fclose(file);
    file = fopen(name.c_str(), "a");
    if (file == nullptr) {
        fprintf(stderr, "Failed to open log file: %s\n", name.c_str());
        fileOutput = false;
        return false;
    }
    return true;
}

bool QUserLog::ReloadConfig() {
    std::lock_guard guard(lock);
    flushLocked();
    if (file != nullptr) {
        fclose(file);
        file = nullptr;
    }
    logDir[0] = '\0';
    minimumLevel.store(LOG_DEBUG, std::memory_order_relaxed);
    fileOutput = false;
    loadConfigLocked();
    return initLocked();
}

void QUserLog::LoadConfig() {
    std::lock_guard guard(lock);
    loadConfigLocked();
}

void QUserLog::loadConfigLocked() {
    FILE* f = fopen(kConfigFile, "r");
    if (f == nullptr) {
        fileOutput = false;
        return;
    }
    LogConfig config;
    config.level = minimumLevel.load(std::memory_order_relaxed);
    snprintf(config.dir, sizeof config.dir, "%s", logDir);
    config.fileOutput = fileOutput;
    readLogConfig(f, config);
    minimumLevel.store(static_cast<LogLevel>(config.level), std::memory_order_relaxed);
    snprintf(logDir, sizeof logDir, "%s", config.dir);
    fileOutput = config.fileOutput;
    fclose(f);
    printf("Config loaded successfully:\n");
    printf("LogLevel: %d\n", static_cast<int>(minimumLevel.load(std::memory_order_relaxed)));
    printf("LogPath: %s\n", logDir);
    printf("FileOutput: %d\n", fileOutput ? 1 : 0);
}

bool QUserLog::CreateDirectory(const char* path) {
    char work[256];
    snprintf(work, sizeof work, "%s", path != nullptr ? path : "");
    for (char* p = work; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        if (work[0] != '\0' && mkdir(work, 0755) != 0 && errno != EEXIST) return false;
        *p = '/';
    }
    return mkdir(work, 0755) == 0 || errno == EEXIST;
}

std::string QUserLog::GetLogFileName() const {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char name[512];
    snprintf(name, sizeof name, "%s/QUserLog_%04d%02d%02d.log", logDir, local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday);
    return name;
}

std::string QUserLog::logDirectory() {
    std::lock_guard guard(lock);
    return logDir;
}

bool QUserLog::fileOutputEnabled() {
    std::lock_guard guard(lock);
    return fileOutput;
}
