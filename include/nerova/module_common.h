// The module framework: algorithm base class and registry, model directory access and
// conversion of host frames into images.
#ifndef NEROVA_INCLUDE_MODULE_COMMON_H_
#define NEROVA_INCLUDE_MODULE_COMMON_H_

#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nerova/module_common_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {
namespace module {

// Keys of the global algorithm creator map.
enum AlgorithmType : int32_t {
    ALGORITHM_TYPE_FACE_DETECTOR = 0x1004,
};

// Base of parameter records; the bodies live with the algorithm modules.
class NEROVA_MODULE_COMMON_EXPORT AbstractParam {
  public:
    AbstractParam() = default;
    AbstractParam(const AbstractParam&) = default;
    AbstractParam& operator=(const AbstractParam&) = default;
    AbstractParam(AbstractParam&&) = default;
    AbstractParam& operator=(AbstractParam&&) = default;
    virtual ~AbstractParam();
    virtual NerovaError SetParam(const std::string& key, std::string value);
    virtual NerovaError SetParam(const std::string& key, int value);
    virtual NerovaError SetParam(const std::string& key, float value);
    virtual NerovaError GetParam(const std::string& key, int& value);
    virtual NerovaError GetParam(const std::string& key, float& value);
    virtual NerovaError GetParam(const std::string& key, std::string& value);
};

class NEROVA_MODULE_COMMON_EXPORT AbstractAlgorithm {
  public:
    AbstractAlgorithm() = default;
    AbstractAlgorithm(const AbstractAlgorithm&) = default;
    AbstractAlgorithm& operator=(const AbstractAlgorithm&) = default;
    virtual ~AbstractAlgorithm();
    // The framework's defaults answer NEROVA_ERR_NOT_IMPLEMENTED.
    virtual NerovaError Parse(const std::string& model_path, const std::string& model_extra);
    virtual AbstractParam* GetParam();
    virtual NerovaError Init(const NerovaCustomRuntime* runtime);
    virtual NerovaError DeInit();
    virtual NerovaError Process(const NerovaFrame* frame, const std::shared_ptr<AbstractParam>& in,
                                std::shared_ptr<AbstractParam>& out);
    // Processes the frames one after another with Process; stops at the first failure.
    virtual NerovaError ProcessBatch(const std::vector<NerovaFrame*>& frames,
                                     const std::vector<std::shared_ptr<AbstractParam>>& ins,
                                     std::vector<std::shared_ptr<AbstractParam>>& outs);
};

class NEROVA_MODULE_COMMON_EXPORT AlgorithmCreator {
  public:
    virtual ~AlgorithmCreator() = default;
    virtual AbstractAlgorithm* CreateAlgorithm() = 0;
};

template <typename T>
class TypeAlgorithmCreator : public AlgorithmCreator {
  private:
    AbstractAlgorithm* CreateAlgorithm() override { return new T(); }
};

// One process-wide map; a function-local static, so usable during static initialisation.
NEROVA_MODULE_COMMON_EXPORT std::map<AlgorithmType, std::shared_ptr<AlgorithmCreator>>&
GetGlobalAlgorithmCreatorMap();

template <typename C>
class TypeAlgorithmRegister {
  public:
    explicit TypeAlgorithmRegister(AlgorithmType type) {
        std::shared_ptr<AlgorithmCreator> creator(new C());
        GetGlobalAlgorithmCreatorMap()[type] = creator;
    }
};

// One model's files. model_path names the model file; the model's files are those of its
// directory. model_extra, when not empty, names another directory to take the files from
// instead (the model file itself must still exist). Files are read whole on first request
// and their bytes stay valid while the Model lives.
class NEROVA_MODULE_COMMON_EXPORT Model {
  public:
    Model(const std::string& model_extra, const std::string& model_path);
    ~Model();
    Model(const Model&) = default;
    Model& operator=(const Model&) = default;

    // NEROVA_ERR_MODEL_PATH: model_path empty, missing or not a regular file;
    // NEROVA_ERR_MODEL_DIR: the directory cannot be listed.
    NerovaError Parse();
    // NEROVA_ERR_MODEL_FILE_NOT_FOUND or NEROVA_ERR_MODEL_FILE_UNREADABLE on failure,
    // NEROVA_ERR_MODEL_FILE_TOO_LARGE for a file of more than kMaxFileBytes;
    // NEROVA_ERR_PARAM_NULL for null out-pointers; NEROVA_ERR_MODEL_NOT_PARSED before Parse.
    NerovaError GetFileContent(const std::string& name, char** content, unsigned long long* size);
    // The regular file whose name ends with suffix: the file model_path names when its name
    // does, otherwise, when several do, the one whose name sorts first byte-wise.
    NerovaError GetFileContentBySuffix(const std::string& suffix, char** content,
                                       unsigned long long* size);
    const std::string& directory() const { return directory_; }
    // Largest file delivered (512 MiB); networks of face detectors are a few megabytes.
    static constexpr unsigned long long kMaxFileBytes = 512ull << 20;

  private:
    NerovaError Deliver(const std::string& name, char** content, unsigned long long* size);

    std::string model_extra_;
    std::string model_path_;
    std::string directory_;
    bool parsed_ = false;
    std::vector<std::string> file_names_;  // sorted
    std::map<std::string, std::string> contents_;
};

class NEROVA_MODULE_COMMON_EXPORT FrameConverter {
  public:
    // Converts a frame into a new 8-bit image of frame height x width; target BGR (1) gives
    // three channels, RGB (2) three, GRAY (4) one. The frame's memory is only read. A frame
    // that cannot be read (null plane, non-positive or oversized dims, stride shorter than a
    // row, unknown format or target) gives an empty image.
    static cv::Mat FrameToMat(const NerovaFrame* frame, NerovaPixelFormat target);
    // Channels of an interleaved 8-bit picture in this format (GRAY 1, BGR and RGB 3, BGRA
    // and RGBA 4), or 0 for a planar or unknown one.
    static int InterleavedChannels(int32_t format);
    // Largest accepted side and area, so that a hostile size cannot exhaust memory.
    static constexpr int kMaxSide = 1 << 15;
    static constexpr int64_t kMaxPixels = int64_t(1) << 28;
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_INCLUDE_MODULE_COMMON_H_
