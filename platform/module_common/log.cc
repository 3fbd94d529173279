#include <atomic>
#include <cstdio>
#include <new>

#include "common/nerova_log.h"

namespace nerova {
namespace {

// A sink as set by the host. Lines read the current one without a lock, so a replaced sink
// is never freed: every sink ever set stays on a list, reachable, for the life of the process
// (hosts set one or two).
struct Sink {
    LogSink write;
    void* user;
    const Sink* older;
};

const Sink kStandardError{LogToStderr, nullptr, nullptr};
std::atomic<const Sink*> current{&kStandardError};
std::atomic<const Sink*> every_sink{nullptr};
std::atomic<int32_t> lowest_level{NEROVA_LOG_DEBUG};

}  // namespace

namespace {

void Log(int32_t level, char tag, const char* file, const char* function, int line,
         const char* message) {
    if (level < lowest_level.load(std::memory_order_relaxed)) return;
    const Sink* sink = current.load(std::memory_order_acquire);
    if (!sink->write) return;
    char text[2048];  // a longer message is cut: a diagnostic never fails for its length
    std::snprintf(text, sizeof text, "%c/%s: [File %s] [Function %s] [Line %d] %s", tag, "nerova",
                  file, function, line, message);
    sink->write(level, text, sink->user);
}

}  // namespace

void LogError(const char* file, const char* function, int line, const char* message) {
    Log(NEROVA_LOG_ERROR, 'E', file, function, line, message);
}

void LogWarning(const char* file, const char* function, int line, const char* message) {
    Log(NEROVA_LOG_WARNING, 'W', file, function, line, message);
}

void LogToStderr(int32_t, const char* line, void*) {
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

bool SetLogSink(LogSink sink, void* user) {
    auto* record = new (std::nothrow) Sink{sink, user, nullptr};
    if (!record) return false;
    const Sink* head = every_sink.load(std::memory_order_relaxed);
    do {
        record->older = head;
    } while (!every_sink.compare_exchange_weak(head, record, std::memory_order_release,
                                               std::memory_order_relaxed));
    current.store(record, std::memory_order_release);
    return true;
}

bool SetLogLevel(int32_t level) {
    if (level < NEROVA_LOG_DEBUG || level > NEROVA_LOG_NONE) return false;
    lowest_level.store(level, std::memory_order_relaxed);
    return true;
}

}  // namespace nerova
