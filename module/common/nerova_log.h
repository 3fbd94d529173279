// Error lines, to the host's log sink (standard error unless it sets one; see
// NerovaSetLogSink), and the check macros of the modules. The sink lives in the module
// framework's library, so that every module of a process (the detector, video) writes to the
// one sink a host sets.
// Each line names the source file, the function and a fixed line value, so that hosts and
// tests can match a diagnostic even when the source moves.
#ifndef NEROVA_MODULE_COMMON_NEROVA_LOG_H_
#define NEROVA_MODULE_COMMON_NEROVA_LOG_H_

#include <cstdint>

#include "nerova/module_common_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {

// Writes "E/nerova: [File <file>] [Function <function>] [Line <line>] <message>" to the sink.
NEROVA_MODULE_COMMON_EXPORT void LogError(const char* file, const char* function, int line,
                                          const char* message);
// The same with "W/" at NEROVA_LOG_WARNING: the call went on, in a way the host may not expect.
NEROVA_MODULE_COMMON_EXPORT void LogWarning(const char* file, const char* function, int line,
                                            const char* message);

// The sink every later line goes to (null: none); false when its record cannot be allocated.
using LogSink = void (*)(int32_t level, const char* line, void* user);
NEROVA_MODULE_COMMON_EXPORT bool SetLogSink(LogSink sink, void* user);
// Drops lines below level; false for a level outside NEROVA_LOG_DEBUG..NEROVA_LOG_NONE.
NEROVA_MODULE_COMMON_EXPORT bool SetLogLevel(int32_t level);
// The default sink: the line and a line end on standard error, flushed.
NEROVA_MODULE_COMMON_EXPORT void LogToStderr(int32_t level, const char* line, void* user);

}  // namespace nerova

#define NEROVA_LOGE(function, line, message) ::nerova::LogError(__FILE__, function, line, message)
#define NEROVA_LOGW(function, line, message) ::nerova::LogWarning(__FILE__, function, line, message)

#define NEROVA_CHECK_PARAM_NULL(ptr, function, line)          \
    do {                                                      \
        if ((ptr) == nullptr) {                               \
            NEROVA_LOGE(function, line, "CHECK_PARAM_NULL!"); \
            return NEROVA_ERR_PARAM_NULL;                     \
        }                                                     \
    } while (0)

#define NEROVA_RETURN_ON_NEQ(expr, expected, function, line) \
    do {                                                     \
        const NerovaError nerova_ret_ = (expr);              \
        if (nerova_ret_ != (expected)) {                     \
            NEROVA_LOGE(function, line, "RETURN_ON_NEQ!");   \
            return nerova_ret_;                              \
        }                                                    \
    } while (0)

#define NEROVA_RETURN_VALUE_ON_NEQ(expr, expected, value, function, line) \
    do {                                                                  \
        if ((expr) != (expected)) {                                       \
            NEROVA_LOGE(function, line, "RETURN_VALUE_ON_NEQ!");          \
            return value;                                                 \
        }                                                                 \
    } while (0)

#define NEROVA_RETURN_VALUE_ON_EQ(expr, failure, value, function, line) \
    do {                                                                \
        if ((expr) == (failure)) {                                      \
            NEROVA_LOGE(function, line, "RETURN_VALUE_ON_EQ!");         \
            return value;                                               \
        }                                                               \
    } while (0)

#endif  // NEROVA_MODULE_COMMON_NEROVA_LOG_H_
