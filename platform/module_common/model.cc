#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "nerova/kernel.h"
#include "nerova/module_common.h"

namespace nerova {
namespace module {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

Model::Model(const std::string& model_extra, const std::string& model_path)
    : model_extra_(model_extra), model_path_(model_path) {}

Model::~Model() = default;

NerovaError Model::Parse() {
    parsed_ = false;
    file_names_.clear();
    contents_.clear();
    if (model_path_.empty() || !IsRegularFile(model_path_)) return NEROVA_ERR_MODEL_PATH;
    directory_ =
        model_extra_.empty() ? FileUtils::GetFileParentPath(model_path_, true) : model_extra_;
    DIR* dir = ::opendir(directory_.c_str());
    if (!dir) return NEROVA_ERR_MODEL_DIR;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (IsRegularFile(directory_ + "/" + name)) file_names_.push_back(name);
    }
    ::closedir(dir);
    std::sort(file_names_.begin(), file_names_.end());
    parsed_ = true;
    return NEROVA_OK;
}

NerovaError Model::Deliver(const std::string& name, char** content, unsigned long long* size) {
    auto cached = contents_.find(name);
    if (cached == contents_.end()) {
        const std::string path = directory_ + "/" + name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return NEROVA_ERR_MODEL_FILE_UNREADABLE;
        if (static_cast<unsigned long long>(st.st_size) > kMaxFileBytes)
            return NEROVA_ERR_MODEL_FILE_TOO_LARGE;
        std::ifstream in(path, std::ios::binary);
        if (!in) return NEROVA_ERR_MODEL_FILE_UNREADABLE;
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) return NEROVA_ERR_MODEL_FILE_UNREADABLE;
        cached = contents_.emplace(name, std::move(bytes)).first;
    }
    *content = &cached->second[0];
    *size = cached->second.size();
    return NEROVA_OK;
}

NerovaError Model::GetFileContent(const std::string& name, char** content,
                                  unsigned long long* size) {
    if (!content || !size) return NEROVA_ERR_PARAM_NULL;
    if (!parsed_) return NEROVA_ERR_MODEL_NOT_PARSED;
    if (!std::binary_search(file_names_.begin(), file_names_.end(), name))
        return NEROVA_ERR_MODEL_FILE_NOT_FOUND;
    return Deliver(name, content, size);
}

NerovaError Model::GetFileContentBySuffix(const std::string& suffix, char** content,
                                          unsigned long long* size) {
    if (!content || !size) return NEROVA_ERR_PARAM_NULL;
    if (!parsed_) return NEROVA_ERR_MODEL_NOT_PARSED;
    // The file the model path names wins over others with the same suffix (a stray backup
    // beside it must not be loaded instead).
    const std::string named = model_path_.substr(model_path_.find_last_of('/') + 1);
    if (EndsWith(named, suffix) &&
        std::binary_search(file_names_.begin(), file_names_.end(), named))
        return Deliver(named, content, size);
    for (const std::string& name : file_names_) {
        if (EndsWith(name, suffix)) return Deliver(name, content, size);
    }
    return NEROVA_ERR_MODEL_FILE_NOT_FOUND;
}

}  // namespace module
}  // namespace nerova
