// What every host of the detector needs beside detection, kept here once so that the tool,
// the Python package and batch runs resolve models and read option names the same way.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/nerova_log.h"
#include "nerova/kernel.h"
#include "nerova_face_detector.h"

namespace fs = std::filesystem;
using nerova::StringConfigConverter;

namespace {

constexpr const char* kFindModel = "NerovaFaceDetectorFindModel";
constexpr const char* kModelFolders = "NerovaFaceDetectorModelFolders";
constexpr const char* kFromName = "NerovaNameToValue";

// The folder this library was loaded from, resolved; empty when the loader does not say.
fs::path LibraryDir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&NerovaFaceDetectorModelFolders), &info) == 0 ||
        !info.dli_fname)
        return {};
    std::error_code ec;
    const fs::path self = fs::canonical(info.dli_fname, ec);
    return ec ? fs::path() : self.parent_path();
}

std::vector<fs::path> Folders() {
    std::vector<fs::path> folders;
    if (const char* env = std::getenv("NEROVA_MODELS")) {
        std::string list = env;
        for (size_t start = 0; start <= list.size();) {
            const size_t end = std::min(list.find(':', start), list.size());
            if (end > start) folders.emplace_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    const fs::path lib = LibraryDir();
    if (!lib.empty()) {
        folders.push_back((lib / NEROVA_LIB_TO_MODELS).lexically_normal());
        // A library run from its build tree also finds the source tree's models; an
        // installed one never does, so that an incomplete installation shows.
        std::error_code ec;
        if (fs::equivalent(lib, NEROVA_BUILD_DIR, ec)) folders.emplace_back(NEROVA_SOURCE_MODELS);
    }
    return folders;
}

NerovaError Store(const std::string& text, char* out, uint32_t size, const char* function,
                  int line) {
    if (text.size() >= size) {
        NEROVA_LOGE(function, line, "the buffer is too small for the path.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return NEROVA_OK;
}

// A model directory's network: model.onnx, else its only (or first) .onnx file.
fs::path NetworkIn(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_regular_file(dir / "model.onnx", ec)) return dir / "model.onnx";
    std::vector<fs::path> found;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".onnx") found.push_back(it->path());
    std::sort(found.begin(), found.end());
    return found.empty() ? dir / "model.onnx" : found.front();
}

// The pixel formats and devices a host may name; their names come from the kernel's tables.
const NerovaPixelFormat kPixelFormats[] = {NEROVA_PIXEL_FORMAT_RGBA, NEROVA_PIXEL_FORMAT_BGR,
                                           NEROVA_PIXEL_FORMAT_RGB,  NEROVA_PIXEL_FORMAT_BGRA,
                                           NEROVA_PIXEL_FORMAT_GRAY, NEROVA_PIXEL_FORMAT_NV12,
                                           NEROVA_PIXEL_FORMAT_NV21, NEROVA_PIXEL_FORMAT_YV12};
const NerovaDeviceType kDevices[] = {
    NEROVA_DEVICE_NAIVE,      NEROVA_DEVICE_X86,    NEROVA_DEVICE_ARM,    NEROVA_DEVICE_OPENCL,
    NEROVA_DEVICE_METAL,      NEROVA_DEVICE_CUDA,   NEROVA_DEVICE_DSP,    NEROVA_DEVICE_ATLAS,
    NEROVA_DEVICE_HUAWEI_NPU, NEROVA_DEVICE_RK_NPU, NEROVA_DEVICE_OPENGL, NEROVA_DEVICE_VULKAN};
constexpr const char* kPixelPrefix = "PIXEL_FORMAT_";

struct Named {
    int32_t value;
    std::string name;
};

const std::vector<Named>& PixelFormatNames() {
    static const std::vector<Named> names = [] {
        std::vector<Named> out;
        for (NerovaPixelFormat f : kPixelFormats)
            out.push_back({f, StringConfigConverter::PixelFormatToString(f).substr(
                                  std::strlen(kPixelPrefix))});
        return out;
    }();
    return names;
}

const std::vector<Named>& DeviceNames() {
    static const std::vector<Named> names = [] {
        std::vector<Named> out;
        for (NerovaDeviceType d : kDevices)
            out.push_back({d, StringConfigConverter::DeviceTypeToString(d)});
        return out;
    }();
    return names;
}

NerovaError FromName(const std::vector<Named>& names, const char* name, int32_t* value) {
    NEROVA_CHECK_PARAM_NULL(name, kFromName, 1);
    NEROVA_CHECK_PARAM_NULL(value, kFromName, 2);
    for (const Named& n : names) {
        if (n.name == name) {
            *value = n.value;
            return NEROVA_OK;
        }
    }
    return NEROVA_ERR_PARAM_RANGE;  // quietly: a host says which names it takes
}

const char* NameOf(const std::vector<Named>& names, int32_t value) {
    for (const Named& n : names)
        if (n.value == value) return n.name.c_str();
    return nullptr;
}

}  // namespace

extern "C" {

NerovaError NerovaFaceDetectorModelFolders(char* folders, uint32_t size) {
    NEROVA_CHECK_PARAM_NULL(folders, kModelFolders, 1);
    try {
        std::string joined;
        for (const fs::path& f : Folders()) joined += (joined.empty() ? "" : ":") + f.string();
        return Store(joined, folders, size, kModelFolders, 2);
    } catch (const std::exception&) {
        NEROVA_LOGE(kModelFolders, 3, "out of memory.");
        return NEROVA_ERR_OUT_OF_MEMORY;
    }
}

NerovaError NerovaFaceDetectorFindModel(const char* name, char* path, uint32_t size) {
    NEROVA_CHECK_PARAM_NULL(name, kFindModel, 1);
    NEROVA_CHECK_PARAM_NULL(path, kFindModel, 2);
    try {
        std::error_code ec;
        const std::string given = name;
        if (given.empty()) {
            NEROVA_LOGE(kFindModel, 3, "no model named.");
            return NEROVA_ERR_MODEL_PATH;
        }
        if (fs::is_regular_file(given, ec)) return Store(given, path, size, kFindModel, 4);
        if (fs::is_directory(given, ec))
            return Store(NetworkIn(given).string(), path, size, kFindModel, 5);
        // A path that names nothing is passed on as it is: create says what is wrong with it.
        if (given.find('/') != std::string::npos) return Store(given, path, size, kFindModel, 6);
        std::string searched;
        for (const fs::path& folder : Folders()) {
            const fs::path dir = folder / given;
            if (fs::is_regular_file(dir / "inference.json", ec))
                return Store(NetworkIn(dir).string(), path, size, kFindModel, 7);
            searched += (searched.empty() ? "" : ", ") + folder.string();
        }
        NEROVA_LOGE(
            kFindModel, 8,
            ("no model named " + given + " in " + (searched.empty() ? "no folder" : searched) + ".")
                .c_str());
        return NEROVA_ERR_MODEL_PATH;
    } catch (const std::exception&) {
        NEROVA_LOGE(kFindModel, 9, "out of memory.");
        return NEROVA_ERR_OUT_OF_MEMORY;
    }
}

NerovaError NerovaPixelFormatFromName(const char* name, int32_t* format) {
    if (name && std::strncmp(name, kPixelPrefix, std::strlen(kPixelPrefix)) == 0)
        name += std::strlen(kPixelPrefix);
    return FromName(PixelFormatNames(), name, format);
}

const char* NerovaPixelFormatName(int32_t format) { return NameOf(PixelFormatNames(), format); }

NerovaError NerovaDeviceFromName(const char* name, int32_t* device) {
    return FromName(DeviceNames(), name, device);
}

const char* NerovaDeviceName(int32_t device) { return NameOf(DeviceNames(), device); }

}  // extern "C"
