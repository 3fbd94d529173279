// Error lines, to the host's log sink (standard error unless it sets one; see
// NerovaSetLogSink), and the check macros of the modules.
// Each line names the source file, the function and a fixed line value, so that hosts and
// tests can match a diagnostic even when the source moves.
#ifndef NEROVA_MODULE_COMMON_NEROVA_LOG_H_
#define NEROVA_MODULE_COMMON_NEROVA_LOG_H_

#include "nerova/nerova_defines.h"

namespace nerova {

// Writes "E/nerova: [File <file>] [Function <function>] [Line <line>] <message>" to the sink.
void LogError(const char* file, const char* function, int line, const char* message);
// The same with "W/" at NEROVA_LOG_WARNING: the call went on, in a way the host may not expect.
void LogWarning(const char* file, const char* function, int line, const char* message);

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
