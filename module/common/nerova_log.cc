#include "common/nerova_log.h"

#include <cstdio>

namespace nerova {

void LogError(const char* file, const char* function, int line, const char* message) {
    std::fprintf(stderr, "E/%s: [File %s] [Function %s] [Line %d] %s\n", "nerova", file, function,
                 line, message);
    std::fflush(stderr);
}

}  // namespace nerova
