#include "fuzz_util.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

namespace nerova_fuzz {

const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nerova_fuzz_XXXXXX").string();
        if (!mkdtemp(&tmpl[0])) std::abort();
        return tmpl;
    }();
    return dir;
}

void ClearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

void WriteFile(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen((ScratchDir() + "/" + name).c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace nerova_fuzz
