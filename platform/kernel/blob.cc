#include <limits>

#include "nerova/kernel.h"

namespace nerova {

namespace {

size_t ElementSize(NerovaDataType type) {
    switch (type) {
        case NEROVA_DATA_TYPE_FLOAT:
        case NEROVA_DATA_TYPE_INT32:
        case NEROVA_DATA_TYPE_UINT32:
            return 4;
        case NEROVA_DATA_TYPE_HALF:
        case NEROVA_DATA_TYPE_BFP16:
        case NEROVA_DATA_TYPE_INT16:
        case NEROVA_DATA_TYPE_UINT16:
            return 2;
        case NEROVA_DATA_TYPE_INT8:
        case NEROVA_DATA_TYPE_UINT8:
            return 1;
        case NEROVA_DATA_TYPE_INT64:
            return 8;
        default:
            return 0;
    }
}

}  // namespace

Blob::Blob() = default;

Blob::Blob(BlobDesc& desc, bool alloc_memory) : desc_(desc) {
    if (alloc_memory) Allocate();
}

Blob::Blob(BlobDesc& desc, BlobHandle handle) : desc_(desc), handle_(handle) {}

Blob::~Blob() = default;

void Blob::SetBlobDesc(BlobDesc& desc, bool alloc_memory) {
    desc_ = desc;
    if (alloc_memory) Allocate();
}

int Blob::GetDim(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= desc_.dims.size()) return 0;
    return desc_.dims[index];
}

size_t Blob::BytesOf(const BlobDesc& desc) {
    size_t bytes = ElementSize(desc.data_type);
    if (bytes == 0 || desc.dims.empty()) return 0;
    for (int d : desc.dims) {
        if (d <= 0) return 0;
        if (bytes > std::numeric_limits<size_t>::max() / static_cast<size_t>(d)) return 0;
        bytes *= static_cast<size_t>(d);
    }
    return bytes;
}

void Blob::Allocate() {
    const size_t bytes = BytesOf(desc_);
    owned_.assign(bytes, 0);
    handle_.base = bytes ? owned_.data() : nullptr;
    handle_.bytes_offset = 0;
}

}  // namespace nerova
