// Runs each file (or every file of each folder) given through the ONNX fuzz targets' load,
// create and run, naming it on standard error first: the input to blame for what valgrind
// reports next is the last one named.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_util.h"

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string data = bytes.str();
        std::fprintf(stderr, "input %s\n", path.c_str());
        nerova_fuzz::LoadAndRunOnnx(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    std::fprintf(stderr, "%zu inputs\n", files.size());
    return 0;
}
