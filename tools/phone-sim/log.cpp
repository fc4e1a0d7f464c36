#include "log.h"

#include <deque>

#include "lock.h"

namespace phone_sim {
namespace {

// Bounded: the oldest lines go first, and the text says how many went.
class Log {
public:
    void add(std::string line) {
        Locked hold(lock_);
        bytes_ += line.size() + 1;
        lines_.push_back(std::move(line));
        while (lines_.size() > maxLines || bytes_ > maxBytes) {
            bytes_ -= lines_.front().size() + 1;
            lines_.pop_front();
            ++dropped_;
        }
    }

    std::string text() {
        Locked hold(lock_);
        std::string out;
        out.reserve(bytes_ + 32);
        if (dropped_ > 0) out += "dropped " + std::to_string(dropped_) + "\n";
        for (const std::string& line : lines_) {
            out += line;
            out += '\n';
        }
        return out;
    }

    void clear() {
        Locked hold(lock_);
        lines_.clear();
        bytes_ = 0;
        dropped_ = 0;
    }

private:
    static constexpr std::size_t maxLines = 5000;
    static constexpr std::size_t maxBytes = 1 << 20;
    Lock lock_;
    std::deque<std::string> lines_;
    std::size_t bytes_ = 0;
    unsigned long dropped_ = 0;
};

Log theLog;

}  // namespace

void logLine(std::string line) { theLog.add(std::move(line)); }
std::string logText() { return theLog.text(); }
void clearLog() { theLog.clear(); }

}  // namespace phone_sim
