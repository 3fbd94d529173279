// Tensor records shared by the kernel and the modules: description, data handle, size info.
// Plain member-wise values; the implicit special members copy deeply and move storage.
#ifndef NEROVA_INCLUDE_BLOB_RECORDS_H_
#define NEROVA_INCLUDE_BLOB_RECORDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "nerova/nerova_defines.h"
#include "nerova/kernel_export.h"

namespace nerova {

struct NEROVA_KERNEL_EXPORT BlobDesc {
    NerovaDeviceType device_type = NEROVA_DEVICE_NAIVE;
    NerovaDataType data_type = NEROVA_DATA_TYPE_FLOAT;
    NerovaDataFormat data_format = NEROVA_DATA_FORMAT_UNSET;
    std::vector<int> dims;  // outermost first
    std::string name;
};

// Locates a tensor's data: it begins bytes_offset bytes after base. Owns nothing.
struct NEROVA_KERNEL_EXPORT BlobHandle {
    void* base = nullptr;
    uint64_t bytes_offset = 0;
};

struct NEROVA_KERNEL_EXPORT MemorySizeInfo {
    int32_t type = 0;
    std::vector<int64_t> sizes;
};

}  // namespace nerova

#endif  // NEROVA_INCLUDE_BLOB_RECORDS_H_
