#include "common/nerova_log.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "nerova_face_detector.h"

namespace nerova {
namespace {

// A sink as set by the host. Lines read the current one without a lock, so a replaced sink
// is never freed: every sink ever set stays on a list, reachable, for the life of the process
// (hosts set one or two).
struct Sink {
    NerovaLogSink write;
    void* user;
    const Sink* older;
};

const Sink kStandardError{NerovaLogToStderr, nullptr, nullptr};
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

}  // namespace nerova

extern "C" {

void NerovaLogToStderr(int32_t, const char* line, void*) {
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

NerovaError NerovaSetLogSink(NerovaLogSink sink, void* user) {
    using nerova::Sink;
    auto* record = new (std::nothrow) Sink{sink, user, nullptr};
    if (!record) return NEROVA_ERR_OUT_OF_MEMORY;
    const Sink* head = nerova::every_sink.load(std::memory_order_relaxed);
    do {
        record->older = head;
    } while (!nerova::every_sink.compare_exchange_weak(head, record, std::memory_order_release,
                                                       std::memory_order_relaxed));
    nerova::current.store(record, std::memory_order_release);
    return NEROVA_OK;
}

NerovaError NerovaSetLogLevel(int32_t level) {
    if (level < NEROVA_LOG_DEBUG || level > NEROVA_LOG_NONE) return NEROVA_ERR_PARAM_RANGE;
    nerova::lowest_level.store(level, std::memory_order_relaxed);
    return NEROVA_OK;
}

}  // extern "C"
