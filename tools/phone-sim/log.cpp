#include "log.h"

#include <windows.h>

#include <deque>

namespace standin {
namespace {

// Bounded: the oldest lines go first, and the text says how many went.
class Log {
public:
    Log() { InitializeCriticalSection(&lock_); }
    ~Log() { DeleteCriticalSection(&lock_); }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void add(std::string line) {
        EnterCriticalSection(&lock_);
        bytes_ += line.size() + 1;
        lines_.push_back(std::move(line));
        while (lines_.size() > maxLines || bytes_ > maxBytes) {
            bytes_ -= lines_.front().size() + 1;
            lines_.pop_front();
            ++dropped_;
        }
        LeaveCriticalSection(&lock_);
    }

    std::string text() {
        EnterCriticalSection(&lock_);
        std::string out;
        out.reserve(bytes_ + 32);
        if (dropped_ > 0) out += "dropped " + std::to_string(dropped_) + "\n";
        for (const std::string& line : lines_) {
            out += line;
            out += '\n';
        }
        LeaveCriticalSection(&lock_);
        return out;
    }

    void clear() {
        EnterCriticalSection(&lock_);
        lines_.clear();
        bytes_ = 0;
        dropped_ = 0;
        LeaveCriticalSection(&lock_);
    }

private:
    static constexpr std::size_t maxLines = 5000;
    static constexpr std::size_t maxBytes = 1 << 20;
    CRITICAL_SECTION lock_;
    std::deque<std::string> lines_;
    std::size_t bytes_ = 0;
    unsigned long dropped_ = 0;
};

Log theLog;

}  // namespace

void logLine(std::string line) { theLog.add(std::move(line)); }
std::string logText() { return theLog.text(); }
void clearLog() { theLog.clear(); }

}  // namespace standin
