// Helpers shared by the tests: capture of what the process writes on a
// standard stream, and a scratch working directory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ycantest {

// Redirects file descriptor 1 or 2 into a temporary file until text() is
// called (or the object goes away).
class StreamCapture {
public:
    explicit StreamCapture(int fd) : target(fd) {
        fflush(nullptr);
        char name[] = "/tmp/ycan-capture-XXXXXX";
        int tmp = mkstemp(name);
        path = name;
        saved = dup(target);
        dup2(tmp, target);
        close(tmp);
    }
    ~StreamCapture() { restore(); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written since construction; ends the capture.
    std::string text() {
        restore();
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    void restore() {
        if (saved < 0) return;
        fflush(nullptr);
        dup2(saved, target);
        close(saved);
        saved = -1;
    }
    int target;
    int saved = -1;
    std::string path;
};

// Creates a fresh directory, makes it the working directory, and on
// destruction returns to the previous one and removes it.
class ScratchDir {
public:
    ScratchDir() {
        previous = std::filesystem::current_path();
        char name[] = "/tmp/ycan-test-XXXXXX";
        path = mkdtemp(name);
        std::filesystem::current_path(path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& dir() const { return path; }

    void write(const std::string& name, const std::string& content) const {
        std::ofstream out(path / name, std::ios::binary);
        out << content;
    }

private:
    std::filesystem::path previous;
    std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace ycantest
