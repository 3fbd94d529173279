// The C interface's boundary: no exception leaves the library.
#ifndef NEROVA_MODULE_COMMON_C_GUARD_H_
#define NEROVA_MODULE_COMMON_C_GUARD_H_

#include <new>
#include <opencv2/core.hpp>
#include <string>

#include "common/nerova_log.h"
#include "nerova/nerova_defines.h"

namespace nerova {
namespace module {

// Runs body; maps what it throws to a code, logged once under function at line.
template <typename Body>
inline NerovaError Guarded(const char* function, int line, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        NEROVA_LOGE(function, line, "out of memory.");
        return NEROVA_ERR_OUT_OF_MEMORY;
    } catch (const cv::Exception& e) {
        NEROVA_LOGE(function, line, (std::string("image operation failed: ") + e.what()).c_str());
        return NEROVA_ERR_IMAGE_OP;
    } catch (const std::exception& e) {
        NEROVA_LOGE(function, line, (std::string("unexpected error: ") + e.what()).c_str());
        return NEROVA_ERR_UNEXPECTED;
    } catch (...) {
        NEROVA_LOGE(function, line, "unexpected error.");
        return NEROVA_ERR_UNEXPECTED;
    }
}

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_COMMON_C_GUARD_H_
