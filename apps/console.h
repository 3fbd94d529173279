// The tool's terminal: records on standard output in input order, messages and a progress
// bar on standard error, safe to use from every worker.
#ifndef NEROVA_APPS_CONSOLE_H_
#define NEROVA_APPS_CONSOLE_H_

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nerova_tool {

// Standard output and standard error, shared by the workers. The progress bar is the last
// line of standard error, redrawn below whatever else is printed, so on a terminal it never
// splits a JSON line or a message.
class Console {
  public:
    Console(std::string tool, bool bar)
        : tool_(std::move(tool)), bar_(bar), stdout_tty_(isatty(STDOUT_FILENO)) {}

    void Out(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!records_) return;
        const bool lift = shown_ && stdout_tty_;
        if (lift) Erase();
        // A record that cannot be written (a full disk, a closed file) is lost: the first
        // failure is kept so that the run stops and says so instead of reporting success.
        errno = 0;
        if ((std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF ||
             std::fflush(stdout) != 0) &&
            out_error_ == 0)
            out_error_ = errno ? errno : EIO;
        if (lift) Show();
    }

    // Standard output carries a video: the records are not printed.
    void DropRecords() { records_ = false; }

    // errno of the first record that could not be written, 0 while all were.
    int OutError() const { return out_error_; }

    void Err(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool lift = shown_;
        if (lift) Erase();
        std::fprintf(stderr, "%s: %s\n", tool_.c_str(), line.c_str());
        if (lift) Show();
    }

    void Bar(const std::string& text, bool last) {
        if (!bar_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = text;
        Show();
        if (last) {
            std::fputc('\n', stderr);
            shown_ = false;
            bar_ = false;
        }
    }

  private:
    void Erase() {
        std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    void Show() {
        std::fprintf(stderr, "\r%s\033[K", text_.c_str());
        std::fflush(stderr);
        shown_ = true;
    }

    const std::string tool_;
    std::mutex mutex_;
    bool bar_, shown_ = false, records_ = true;
    const bool stdout_tty_;
    std::atomic<int> out_error_{0};
    std::string text_;
};

// Prints the workers' records in input order: the earliest unfinished input prints as it
// goes, later ones are held until their turn.
class Sequencer {
  public:
    Sequencer(Console& console, size_t count) : console_(console), done_(count, false) {}

    void Emit(size_t input, std::string line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (input == next_)
            console_.Out(line);
        else
            held_[input].push_back(std::move(line));
    }

    void Done(size_t input) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[input] = true;
        while (next_ < done_.size() && done_[next_]) {
            ++next_;
            if (next_ == done_.size()) break;
            const auto it = held_.find(next_);
            if (it == held_.end()) continue;
            for (const std::string& line : it->second) console_.Out(line);
            held_.erase(it);
        }
    }

  private:
    Console& console_;
    std::mutex mutex_;
    size_t next_ = 0;
    std::vector<bool> done_;
    std::map<size_t, std::vector<std::string>> held_;
};

// Counts images and video frames, with the rate and the time left when the total is known
// (0: unknown); redrawn at most ten times a second.
class Progress {
  public:
    Progress(Console& console, size_t total, const char* unit)
        : console_(console), total_(total), unit_(unit), start_(Clock::now()) {}

    void Tick() {
        const size_t done = ++done_;
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        const auto now = Clock::now();
        if (now - drawn_ < std::chrono::milliseconds(100)) return;
        drawn_ = now;
        console_.Bar(Text(done, now), false);
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        console_.Bar(Text(done_, Clock::now()), true);
    }

  private:
    using Clock = std::chrono::steady_clock;

    std::string Text(size_t done, Clock::time_point now) const {
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        char buf[160];
        if (total_ == 0) {
            std::snprintf(buf, sizeof buf, "%zu %s  %.1f/s", done, unit_, rate);
            return buf;
        }
        const int width = 30;
        const int filled = static_cast<int>(width * std::min(done, total_) / total_);
        std::string eta = "--:--";
        if (rate > 0) {
            const long left =
                std::lround(static_cast<double>(total_ - std::min(done, total_)) / rate);
            char t[32];
            if (left >= 3600)
                std::snprintf(t, sizeof t, "%ld:%02ld:%02ld", left / 3600, left / 60 % 60,
                              left % 60);
            else
                std::snprintf(t, sizeof t, "%ld:%02ld", left / 60, left % 60);
            eta = t;
        }
        std::snprintf(buf, sizeof buf, "[%.*s%*s] %zu/%zu %s  %.1f/s  ETA %s", filled,
                      "==============================", width - filled, "", done, total_, unit_,
                      rate, eta.c_str());
        return buf;
    }

    Console& console_;
    const size_t total_;
    const char* unit_;
    const Clock::time_point start_;
    std::atomic<size_t> done_{0};
    std::mutex mutex_;
    Clock::time_point drawn_{};
};

}  // namespace nerova_tool

#endif  // NEROVA_APPS_CONSOLE_H_
