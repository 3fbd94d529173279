// Tensor records shared by the kernel and the modules: description, data handle, size info.
// Plain member-wise values: copies are deep, moves take the storage, and moving a record
// into itself leaves it as it was.
#ifndef NEROVA_INCLUDE_BLOB_RECORDS_H_
#define NEROVA_INCLUDE_BLOB_RECORDS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "nerova/kernel_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {

struct NEROVA_KERNEL_EXPORT BlobDesc {
    BlobDesc() = default;
    BlobDesc(const BlobDesc&) = default;
    BlobDesc(BlobDesc&&) = default;
    BlobDesc& operator=(const BlobDesc&) = default;
    BlobDesc& operator=(BlobDesc&& other) noexcept {
        if (this != &other) {
            device_type = std::move(other.device_type);
            data_type = std::move(other.data_type);
            data_format = std::move(other.data_format);
            dims = std::move(other.dims);
            name = std::move(other.name);
        }
        return *this;
    }

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
    MemorySizeInfo() = default;
    MemorySizeInfo(const MemorySizeInfo&) = default;
    MemorySizeInfo(MemorySizeInfo&&) = default;
    MemorySizeInfo& operator=(const MemorySizeInfo&) = default;
    MemorySizeInfo& operator=(MemorySizeInfo&& other) noexcept {
        if (this != &other) {
            type = std::move(other.type);
            sizes = std::move(other.sizes);
        }
        return *this;
    }

    int32_t type = 0;
    std::vector<int64_t> sizes;
};

}  // namespace nerova

#endif  // NEROVA_INCLUDE_BLOB_RECORDS_H_
