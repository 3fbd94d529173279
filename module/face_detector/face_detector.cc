#include "face_detector/face_detector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "common/nerova_log.h"
#include "face_detector/tiling.h"
#include "wrap_rapidjson/config_parser.h"
#include "wrap_rapidjson/detection_config.h"

namespace nerova {
namespace module {

namespace {

constexpr const char* kParse = "nerova::module::FaceDetectorAlgorithm::Parse";
constexpr const char* kProcess = "nerova::module::FaceDetectorAlgorithm::Process";
constexpr const char* kInit = "nerova::module::FaceDetectorAlgorithm::Init";
constexpr const char* kPreProcess = "nerova::module::FaceDetectorAlgorithm::PreProcess";
constexpr const char* kForward = "nerova::module::FaceDetectorAlgorithm::Forward";
constexpr const char* kPost = "nerova::module::FaceDetectorAlgorithm::Post";
constexpr const char* kGetOutput = "nerova::module::FaceDetectorAlgorithm::GetOutput";
constexpr const char* kDetectOnTiles = "nerova::module::FaceDetectorAlgorithm::DetectOnTiles";
constexpr const char* kConfirm = "nerova::module::FaceDetectorAlgorithm::ConfirmTileFaces";

// Channel means of the network input, in the converted image's (BGR) order; the padding
// is of the same colour, so padded tensor elements are exactly zero.
const cv::Scalar kNegMean(-104.0, -117.0, -123.0, 0.0);
constexpr int kImageChannels = 3;

// Why a model cannot be read, in the words a user needs: which file is missing or wrong.
std::string WhyModelFails(Model& model, NerovaError err, NerovaModelType type) {
    const std::string type_name = StringConfigConverter::ModelTypeToString(type);
    char* content = nullptr;
    unsigned long long size = 0;
    switch (err) {
        case NEROVA_ERR_MODEL_PATH:
            return "no model file at the path given";
        case NEROVA_ERR_MODEL_DIR:
            return "the model's directory cannot be listed";
        case NEROVA_ERR_MODEL_FILE_NOT_FOUND:
            if (model.GetFileContent("inference.json", &content, &size) ==
                NEROVA_ERR_MODEL_FILE_NOT_FOUND)
                return "no inference.json beside the model file";
            return "no file of the model's type " + (type_name.empty() ? "(unset)" : type_name) +
                   " in its directory; this build runs MODEL_TYPE_ONNX networks";
        case NEROVA_ERR_MODEL_TYPE_NO_FILES:
            return "the model type " + type_name + " has no files this build can load";
        case NEROVA_ERR_MODEL_FILE_UNREADABLE:
            return "a file of the model cannot be read";
        case NEROVA_ERR_MODEL_FILE_TOO_LARGE:
            return "a file of the model is larger than 512 MiB";
        case NEROVA_ERR_JSON:
            return "inference.json is not a valid configuration (JSON, keys and types)";
        default:
            return std::string("the model cannot be read: ") + NerovaErrorString(err);
    }
}

// A parameter set for one pass; the host's value comes back however the pass ends.
template <typename T>
class ScopedValue {
  public:
    ScopedValue(T& slot, T value) : slot_(slot), saved_(slot) { slot_ = value; }
    ~ScopedValue() { slot_ = saved_; }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

  private:
    T& slot_;
    T saved_;
};

// Blending models also take nested duplicates for one face (face_boxes.h).
OverlapRule RuleOf(const FaceDetectorParam& p) {
    return {p.nms_threshold, p.overlap_merge == NEROVA_OVERLAP_BLEND};
}

}  // namespace

static cv::Mat BgrOf(const NerovaFrame& frame, cv::Mat& storage);  // beside PackedView

void* (*FaceDetectorAlgorithm::result_allocator_)(size_t) = std::malloc;

// ---- AbstractParam: the face detector takes no parameters by key. ----

AbstractParam::~AbstractParam() = default;
NerovaError AbstractParam::SetParam(const std::string&, std::string) {
    return NEROVA_ERR_PARAM_KEY;
}
NerovaError AbstractParam::SetParam(const std::string&, int) { return NEROVA_ERR_PARAM_KEY; }
NerovaError AbstractParam::SetParam(const std::string&, float) { return NEROVA_ERR_PARAM_KEY; }
NerovaError AbstractParam::GetParam(const std::string&, int&) { return NEROVA_ERR_PARAM_KEY; }
NerovaError AbstractParam::GetParam(const std::string&, float&) { return NEROVA_ERR_PARAM_KEY; }
NerovaError AbstractParam::GetParam(const std::string&, std::string&) {
    return NEROVA_ERR_PARAM_KEY;
}

// ---- FaceDetectorParam ----

FaceDetectorParam::~FaceDetectorParam() = default;

NerovaError FaceDetectorParam::GetModelInputHWInterpType(int* height, int* width,
                                                         NerovaInterpType* interp_type) {
    *height = model_input_h;
    *width = model_input_w;
    *interp_type = param_converter.interp_type;
    return NEROVA_OK;
}

NerovaError FaceDetectorParam::SetOriginFrameHW(int height, int width) {
    origin_frame_h = height;
    origin_frame_w = width;
    return NEROVA_OK;
}

// ---- Registration at load ----

static TypeAlgorithmRegister<TypeAlgorithmCreator<FaceDetectorAlgorithm>> g_face_detector_register(
    ALGORITHM_TYPE_FACE_DETECTOR);

// ---- Set-up ----

FaceDetectorAlgorithm::~FaceDetectorAlgorithm() = default;

NerovaError FaceDetectorAlgorithm::DeInit() {
    if (instance_) instance_->DeInit();
    if (inference_) inference_->DeInit();
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::Parse(const std::string& model_path,
                                         const std::string& model_extra) {
    Model model(model_extra, model_path);
    NerovaError err = model.Parse();
    if (err != NEROVA_OK) {
        NEROVA_LOGE(kParse, 53, WhyModelFails(model, err, NEROVA_MODEL_TYPE_UNSET).c_str());
        NEROVA_LOGE(kParse, 54, "model.Parse.");
        return err;
    }
    param_ = std::shared_ptr<FaceDetectorParam>(new FaceDetectorParam());
    param_->network_config.extra_strings.push_back(FileUtils::GetFileParentPath(model_path, true));
    err = ConfigParser::ParseInferenceConfig(model, &param_->model_config, &param_->network_config,
                                             &param_->param_converter, nullptr);
    if (err != NEROVA_OK) {
        NEROVA_LOGE(kParse, 63, WhyModelFails(model, err, param_->model_config.model_type).c_str());
        NEROVA_LOGE(kParse, 64, "InferenceConfigParser::ParseInferenceConfig.");
        return err;
    }
    // int8 reads its activation ranges beside the network; without them it runs in float,
    // and the kernel says so.
    if (param_->network_config.precision == NEROVA_PRECISION_LOW) {
        char* content = nullptr;
        unsigned long long size = 0;
        err = model.GetFileContent("calibration.txt", &content, &size);
        if (err == NEROVA_OK) {
            param_->model_config.model_contents.emplace_back(content, static_cast<size_t>(size));
        } else if (err != NEROVA_ERR_MODEL_FILE_NOT_FOUND) {
            NEROVA_LOGE(kParse, 65, "calibration.txt cannot be read.");
            return err;
        }
    }
    DetectionConfig detection;
    std::string why = "inference.json is not a valid configuration";
    err = ReadDetectionConfig(model, &detection, &why);
    if (err != NEROVA_OK) {
        NEROVA_LOGE(kParse, 66, why.c_str());
        return err;
    }
    param_->candidate_pool = detection.candidate_pool;
    param_->overlap_merge = detection.overlap_merge;
    if (detection.nms_threshold >= 0.0f) param_->nms_threshold = detection.nms_threshold;
    param_->landmark_names = detection.landmarks;
    if (detection.confirm_tile_faces >= 0) param_->confirm_cap = detection.confirm_tile_faces;
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::Init(const NerovaCustomRuntime* runtime) {
    NetworkConfig& network = param_->network_config;
    if (runtime) {
        // Read as the 32-bit integer the host wrote; a value outside the enumeration is a
        // device this build cannot have, so it falls back to the CPU like any other.
        int32_t device;
        std::memcpy(&device, &runtime->device_type, sizeof device);
        network.device_type = DeviceUtils::IsDeviceType(device)
                                  ? static_cast<NerovaDeviceType>(device)
                                  : NEROVA_DEVICE_UNSET;
        network.device_id = runtime->device_id;
        network.thread_num = runtime->thread_num;
    }
    inference_ = std::shared_ptr<Inference>(new Inference());
    // Each refusal says why: the kernel's reason (the admission check's among them), or the
    // input this detector cannot feed.
    const auto refused = [](int line, const std::string& why) {
        NEROVA_LOGE(kInit, line, ("the network cannot be used: " + why + ".").c_str());
        return NEROVA_ERR_NET;
    };
    Status status = inference_->Init(param_->model_config, network);
    if (status != NEROVA_OK) return refused(1, status.message());

    instance_ = inference_->CreateInstance(status, std::map<std::string, std::vector<int>>());
    if (status != NEROVA_OK) {
        // One retry on the CPU; the record keeps the CPU device afterwards.
        network.device_type = DeviceUtils::GetDefaultCpuDeviceType();
        inference_->SetNetworkConfig(network);
        instance_ = inference_->CreateInstance(status, std::map<std::string, std::vector<int>>());
        if (status != NEROVA_OK) return refused(2, status.message());
    }

    std::map<std::string, std::vector<int>> shapes;
    inference_->GetModelInputShapesMap(shapes);
    if (shapes.empty()) return refused(3, "it has no input");
    const std::vector<int> dims = shapes.begin()->second;  // the input whose name sorts first
    if (dims.size() < 4) return refused(4, "its input has fewer than four dims");
    if (std::any_of(dims.begin(), dims.end(), [](int d) { return d <= 0; }))
        return refused(5, "its input has a dim that is not positive");
    // Pre-processing writes three planes; any other channel count would overrun the tensor.
    if (dims[1] != kImageChannels) return refused(6, "its input does not have three channels");
    param_->model_input_n = dims[0];
    param_->model_input_c = dims[1];
    param_->model_input_h = dims[2];
    param_->model_input_w = dims[3];

    // Pre-processing writes where the backend reads: into the instance's own NHWC input when
    // it has one (XNNPACK), else into a planar tensor of ours.
    input_blob_.reset();
    if (instance_->GetInputBlob(input_blob_) != NEROVA_OK ||
        input_blob_->desc().data_format != NEROVA_DATA_FORMAT_NHWC ||
        input_blob_->desc().dims != std::vector<int>{dims[0], dims[2], dims[3], dims[1]}) {
        BlobDesc desc;
        desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
        desc.data_type = NEROVA_DATA_TYPE_FLOAT;
        desc.data_format = NEROVA_DATA_FORMAT_NCHW;
        desc.dims = dims;
        desc.name = "";
        input_blob_ = std::shared_ptr<Blob>(new Blob(desc, true));
    }
    interleaved_input_ = input_blob_->desc().data_format == NEROVA_DATA_FORMAT_NHWC;
    output_blob_ = std::shared_ptr<Blob>(new Blob());
    if (LandmarkCount() > 0) {
        // Rows too short for the points the model names would be read past their end: one
        // pass on a blank input tells the row length before any frame comes.
        const BlobHandle input = input_blob_->GetHandle();
        size_t elements = 1;
        for (int d : dims) elements *= static_cast<size_t>(d);
        std::fill_n(static_cast<float*>(input.base), elements, 0.0f);
        if (Forward(input_blob_) != NEROVA_OK)
            return refused(7, "it does not run on a blank input");
        const std::vector<int>& out = output_blob_->desc().dims;
        const int need = kRowLandmarks + 2 * LandmarkCount();
        if (out.size() < 3 || out[2] < need)
            return refused(8, "its rows are shorter than the " + std::to_string(need) +
                                  " values its landmarks need");
    }
    SizeLists(CandidateCapacity());
    scale_rows_ = scale_cols_ = -1;
    const std::string note = instance_->BackendNote();
    if (!note.empty()) NEROVA_LOGW(kInit, 9, (note + ".").c_str());
    return NEROVA_OK;
}

// ---- Per frame ----

NerovaError FaceDetectorAlgorithm::Process(const NerovaFrame* frame, NerovaFaceInfo** faces,
                                           uint32_t* face_count) {
    const NerovaError detected = Detect(frame);  // logs its own failing step
    if (detected != NEROVA_OK) return detected;
    NEROVA_RETURN_ON_NEQ(GetOutput(faces, face_count), NEROVA_OK, kProcess, 150);
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::Detect(const NerovaFrame* frame) {
    look_report_ = LookReport();
    NEROVA_RETURN_ON_NEQ(PreProcess(frame), NEROVA_OK, kProcess, 144);
    NEROVA_RETURN_ON_NEQ(Forward(input_blob_), NEROVA_OK, kProcess, 146);
    NEROVA_RETURN_ON_NEQ(Post(), NEROVA_OK, kProcess, 148);
    if (param_->tile_rows != 1 || param_->tile_cols != 1)
        NEROVA_RETURN_ON_NEQ(DetectOnTiles(frame), NEROVA_OK, kProcess, 149);
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::DetectOnTiles(const NerovaFrame* frame) {
    FaceDetectorParam& p = *param_;
    const int width = frame->width, height = frame->height;
    const std::vector<Tile> tiles =
        TileGrid(width, height, p.model_input_w, p.model_input_h, p.tile_rows, p.tile_cols);
    if (tiles.empty()) return NEROVA_OK;
    const int k2 = 2 * LandmarkCount();
    const size_t whole = faces_.size();
    merged_.assign(faces_.begin(), faces_.end());
    merged_points_.assign(points_.begin(), points_.end());
    // A face the whole frame shows at the size tiles aim at, or larger, is the whole-frame
    // pass's to find: seen only in a tile, where the enlarged view shows fur and fabric at
    // the size of faces, it is far more often invented than missed (on the calibration
    // photos, the tiles' false detections fall from 3 to 1 without losing a face).
    const float whole_scale = std::min(static_cast<float>(p.model_input_w) / width,
                                       static_cast<float>(p.model_input_h) / height);
    for (const Tile& tile : tiles) {
        NerovaFrame view;
        if (!TileView(*frame, tile, view)) break;
        NEROVA_RETURN_ON_NEQ(PreProcess(&view), NEROVA_OK, kDetectOnTiles, 1);
        NEROVA_RETURN_ON_NEQ(Forward(input_blob_), NEROVA_OK, kDetectOnTiles, 2);
        NEROVA_RETURN_ON_NEQ(Post(), NEROVA_OK, kDetectOnTiles, 3);
        const float dx = static_cast<float>(tile.x), dy = static_cast<float>(tile.y);
        for (size_t i = 0; i < faces_.size(); ++i) {
            const FaceBox& b = faces_[i];
            if (CutByInnerEdge(b, tile, width, height)) continue;
            if (std::max(b.x2 - b.x1, b.y2 - b.y1) * whole_scale >= kAimPixels) continue;
            merged_.push_back({b.score, b.x1 + dx, b.y1 + dy, b.x2 + dx, b.y2 + dy});
            for (int k = 0; k < k2; ++k)
                merged_points_.push_back(points_[i * k2 + k] + (k % 2 ? dy : dx));
        }
    }
    p.origin_frame_w = width;  // the host's frame, not the last tile
    p.origin_frame_h = height;
    const int count = static_cast<int>(merged_.size());
    order_.resize(merged_.size());
    for (int i = 0; i < count; ++i) order_[i] = i;
    std::stable_sort(order_.begin(), order_.end(),
                     [&](int32_t a, int32_t b) { return merged_[a].score > merged_[b].score; });
    sorted_.resize(merged_.size());
    for (int i = 0; i < count; ++i) sorted_[i] = merged_[order_[i]];
    faces_.resize(merged_.size());
    merged_areas_.resize(merged_.size());
    kept_from_.resize(merged_.size());
    const int kept = SuppressOverlaps(sorted_.data(), count, RuleOf(p), faces_.data(),
                                      merged_areas_.data(), kept_from_.data());
    faces_.resize(static_cast<size_t>(kept));
    points_.resize(static_cast<size_t>(kept) * k2);
    for (int i = 0; i < kept; ++i)
        std::copy_n(merged_points_.begin() + order_[kept_from_[i]] * k2, k2,
                    points_.begin() + i * k2);
    return ConfirmTileFaces(frame, whole, static_cast<int>(tiles.size()));
}

NerovaError FaceDetectorAlgorithm::ConfirmTileFaces(const NerovaFrame* frame, size_t whole,
                                                    int tile_passes) {
    FaceDetectorParam& p = *param_;
    const auto start = std::chrono::steady_clock::now();
    look_report_ = LookReport();
    look_report_.tile_passes = tile_passes;
    if (p.confirm_cap <= 0) return NEROVA_OK;
    const size_t k2 = 2 * static_cast<size_t>(LandmarkCount());
    const size_t n = faces_.size();
    const float overlap = RuleOf(p).iou_threshold;
    const FacePoints which = IndexFacePoints(p.landmark_names);
    look_faces_.assign(faces_.begin(), faces_.end());
    look_points_.assign(points_.begin(), points_.end());
    look_keep_.assign(n, 1);
    look_candidates_.clear();
    look_index_.clear();
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<size_t>(order_[kept_from_[i]]) < whole) continue;
        bool seen = false;  // the whole frame has a face here that suppression merged away
        for (size_t j = 0; j < whole && !seen; ++j) seen = IoU(faces_[i], merged_[j]) > overlap;
        if (seen) continue;
        ++look_report_.candidates;
        if (k2 > 0 && !PlausibleFace(faces_[i], &points_[i * k2], which)) {
            look_keep_[i] = 0;
            ++look_report_.refused_by_landmarks;
        } else if (look_index_.size() >= static_cast<size_t>(p.confirm_cap)) {
            ++look_report_.unchecked;
        } else {
            look_index_.push_back(static_cast<int32_t>(i));
            look_candidates_.push_back(faces_[i]);
            look_keep_[i] = 0;  // until a second look finds it
        }
    }
    const int width = frame->width, height = frame->height;
    const int input_w = p.model_input_w, input_h = p.model_input_h;
    NerovaError status = NEROVA_OK;
    for (size_t first = 0; first < look_candidates_.size() && status == NEROVA_OK;) {
        const std::vector<LookCell> cells =
            PlanLook(look_candidates_.data() + first,
                     static_cast<int>(look_candidates_.size() - first), input_w, input_h);
        if (cells.empty()) break;
        look_mosaic_.create(input_h, input_w, CV_8UC3);
        look_mosaic_.setTo(-kNegMean);  // the mean: the tensor's zero
        for (const LookCell& c : cells) {
            // The crop's part inside the frame, from an even corner (4:2:0 chroma).
            const int x0 = std::max(0, static_cast<int>(std::floor(c.x))) & ~1;
            const int y0 = std::max(0, static_cast<int>(std::floor(c.y))) & ~1;
            const int x1 = std::min(width, static_cast<int>(std::ceil(c.x + c.side)));
            const int y1 = std::min(height, static_cast<int>(std::ceil(c.y + c.side)));
            NerovaFrame view;
            if (x1 <= x0 || y1 <= y0 || !TileView(*frame, {x0, y0, x1 - x0, y1 - y0}, view))
                continue;
            const cv::Mat bgr = BgrOf(view, look_crop_);
            if (bgr.empty()) continue;
            const float s = static_cast<float>(c.cell) / c.side;
            const int u0 = std::clamp(static_cast<int>(std::lround((x0 - c.x) * s)), 0, c.cell);
            const int v0 = std::clamp(static_cast<int>(std::lround((y0 - c.y) * s)), 0, c.cell);
            const int u1 = std::clamp(static_cast<int>(std::lround((x1 - c.x) * s)), 0, c.cell);
            const int v1 = std::clamp(static_cast<int>(std::lround((y1 - c.y) * s)), 0, c.cell);
            if (u1 <= u0 || v1 <= v0) continue;
            cv::Mat cell = look_mosaic_(cv::Rect(c.cell_x + u0, c.cell_y + v0, u1 - u0, v1 - v0));
            cv::resize(bgr, cell, cell.size(), 0, 0, cv::INTER_LINEAR);
        }
        NerovaFrame mosaic{};
        mosaic.pixel_format = NEROVA_PIXEL_FORMAT_BGR;
        mosaic.width = input_w;
        mosaic.height = input_h;
        mosaic.data[0] = look_mosaic_.data;
        mosaic.stride[0] = static_cast<int32_t>(look_mosaic_.step[0]);
        {
            // Each mosaic's faces all count, however few the host keeps per frame.
            const ScopedValue<int> top_k(p.top_k, std::max(p.top_k, kLookTopK));
            const ScopedValue<int> pool(p.candidate_pool, std::min(p.candidate_pool, kLookTopK));
            const ScopedValue<float> threshold(p.score_threshold,
                                               std::min(p.score_threshold, kLookScore));
            status = PreProcess(&mosaic);
            if (status == NEROVA_OK) status = Forward(input_blob_);
            if (status == NEROVA_OK) status = Post();
        }
        ++look_report_.forwards;
        for (const FaceBox& f : faces_) {
            FaceBox in_frame;
            int cell = 0;
            if (!FromLook(f, cells, &in_frame, &cell)) continue;
            const size_t k = first + static_cast<size_t>(cell);
            if (IoU(in_frame, look_candidates_[k]) >= kLookMatchIoU)
                look_keep_[static_cast<size_t>(look_index_[k])] = 1;
        }
        first += cells.size();
    }
    p.origin_frame_w = width;
    p.origin_frame_h = height;
    if (status != NEROVA_OK) {
        NEROVA_LOGE(kConfirm, 1, "the second look at the tiles' faces failed.");
        return status;
    }
    faces_.clear();
    points_.clear();
    for (size_t i = 0; i < n; ++i) {
        if (!look_keep_[i]) continue;
        faces_.push_back(look_faces_[i]);
        points_.insert(points_.end(), look_points_.begin() + i * k2,
                       look_points_.begin() + (i + 1) * k2);
    }
    for (int32_t i : look_index_)
        ++(look_keep_[static_cast<size_t>(i)] ? look_report_.confirmed
                                              : look_report_.refused_by_look);
    look_report_.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return NEROVA_OK;
}

// A packed frame (BGR, RGB, BGRA, RGBA or GRAY) is read where it lies and resized in its own
// layout: the resize below reads only what it needs, and a copy of a 4K frame costs more than
// all the rest of pre-processing. The tensor's write then picks blue, green and red from each
// pixel (order), which gives exactly the tensor of the frame converted to BGR first: the
// resize treats every channel alike. YUV frames are converted first.
bool PackedView(const NerovaFrame* frame, cv::Mat& view, int order[3]) {
    constexpr int kMaxSide = FrameConverter::kMaxSide;
    constexpr int64_t kMaxPixels = FrameConverter::kMaxPixels;
    if (!frame) return false;
    // Read as the 32-bit integer the host wrote: a value outside the enumeration is no format.
    int32_t format;
    std::memcpy(&format, &frame->pixel_format, sizeof format);
    int channels = 0;
    const int bgr[3] = {0, 1, 2}, rgb[3] = {2, 1, 0}, gray[3] = {0, 0, 0};
    const int* picked = bgr;
    switch (format) {
        case NEROVA_PIXEL_FORMAT_BGR:
            channels = 3;
            break;
        case NEROVA_PIXEL_FORMAT_RGB:
            channels = 3;
            picked = rgb;
            break;
        case NEROVA_PIXEL_FORMAT_BGRA:
            channels = 4;
            break;
        case NEROVA_PIXEL_FORMAT_RGBA:
            channels = 4;
            picked = rgb;
            break;
        case NEROVA_PIXEL_FORMAT_GRAY:
            channels = 1;
            picked = gray;
            break;
        default:
            return false;
    }
    if (!frame->data[0] || frame->width <= 0 || frame->height <= 0 || frame->width > kMaxSide ||
        frame->height > kMaxSide || int64_t(frame->width) * frame->height > kMaxPixels ||
        int64_t(frame->stride[0]) < int64_t(frame->width) * channels)
        return false;
    view = cv::Mat(frame->height, frame->width, CV_8UC(channels),
                   const_cast<uint8_t*>(frame->data[0]), static_cast<size_t>(frame->stride[0]));
    std::copy_n(picked, 3, order);
    return true;
}

// The host's frame (or a tile of it) as BGR pixels: packed formats converted from where they
// lie, YUV through the frame converter. Empty when the view cannot be read.
static cv::Mat BgrOf(const NerovaFrame& frame, cv::Mat& storage) {
    cv::Mat packed;
    int order[3];
    if (!PackedView(&frame, packed, order))
        return FrameConverter::FrameToMat(&frame, NEROVA_PIXEL_FORMAT_BGR);
    const bool bgr = order[0] == 0;
    switch (packed.channels()) {
        case 1:
            cv::cvtColor(packed, storage, cv::COLOR_GRAY2BGR);
            return storage;
        case 3:
            if (bgr) return packed;
            cv::cvtColor(packed, storage, cv::COLOR_RGB2BGR);
            return storage;
        default:
            cv::cvtColor(packed, storage, bgr ? cv::COLOR_BGRA2BGR : cv::COLOR_RGBA2BGR);
            return storage;
    }
}

NerovaError FaceDetectorAlgorithm::PreProcess(const NerovaFrame* frame) {
    FaceDetectorParam& p = *param_;
    int order[3] = {0, 1, 2};
    if (!PackedView(frame, image_, order))
        image_ = FrameConverter::FrameToMat(frame, NEROVA_PIXEL_FORMAT_BGR);
    if (image_.empty()) {
        NEROVA_LOGE(kPreProcess, 160, "frame cannot be read (size, stride, plane or format).");
        return NEROVA_ERR_PARAM_NULL;
    }
    // The scale is cached by the size it was computed for. A size the host preset with
    // SetOriginFrameHW, before the first frame or between frames, never stands in for it;
    // the stored size is always the frame's, as decoding clamps boxes to it.
    if (image_.rows != scale_rows_ || image_.cols != scale_cols_) {
        scale_rows_ = image_.rows;
        scale_cols_ = image_.cols;
        const float sw = static_cast<float>(p.model_input_w) / static_cast<float>(image_.cols);
        const float sh = static_cast<float>(p.model_input_h) / static_cast<float>(image_.rows);
        scale_ = sw > sh ? sh : sw;
        // cv::resize sizes its result by rounding each side. A thin frame (1 x 256 into 128 x
        // 128) would round its short side to no pixel; it keeps one, resized on its own.
        auto side_scale = [&](int side) {
            return cvRound(side * static_cast<double>(scale_)) >= 1 ? scale_ : 1.0f / side;
        };
        scale_w_ = side_scale(image_.cols);
        scale_h_ = side_scale(image_.rows);
    }
    p.origin_frame_h = image_.rows;
    p.origin_frame_w = image_.cols;
    const double scale_w = static_cast<double>(scale_w_), scale_h = static_cast<double>(scale_h_);
    const int resized_w = cvRound(image_.cols * scale_w);
    const int resized_h = cvRound(image_.rows * scale_h);
    if (resized_w <= 0 || resized_h <= 0 || resized_w > p.model_input_w ||
        resized_h > p.model_input_h) {
        NEROVA_LOGE(kPreProcess, 176, "frame shape cannot be fitted into the network input.");
        return NEROVA_ERR_IMAGE_OP;
    }
    cv::resize(image_, resized_, cv::Size(), scale_w, scale_h, cv::INTER_LINEAR);
    image_.release();  // never keep a view of the host's frame past the call

    // Padding, float conversion, mean subtraction and the planar (or interleaved) write in
    // one pass straight into the tensor. The padding's colour is the mean, so its elements are
    // exactly zero.
    float* data = static_cast<float*>(input_blob_->GetHandle().base);
    const int rows = p.model_input_h, cols = p.model_input_w;
    const float neg_mean[3] = {static_cast<float>(kNegMean[0]), static_cast<float>(kNegMean[1]),
                               static_cast<float>(kNegMean[2])};
    // Interleaved: a pixel's channels side by side; planar: a channel's plane after another's.
    const size_t plane = static_cast<size_t>(rows) * cols;
    const size_t pixel_step = interleaved_input_ ? kImageChannels : 1;
    const size_t channel_step = interleaved_input_ ? 1 : plane;
    const int step = resized_.channels();
    const int b = order[0], g = order[1], r = order[2];
    for (int y = 0; y < rows; ++y) {
        float* out = data + size_t(y) * cols * pixel_step;
        int x = 0;
        if (y < resized_.rows) {
            const uint8_t* px = resized_.ptr<uint8_t>(y);
            for (; x < resized_.cols; ++x, px += step, out += pixel_step) {
                out[0] = static_cast<float>(px[b]) + neg_mean[0];
                out[channel_step] = static_cast<float>(px[g]) + neg_mean[1];
                out[2 * channel_step] = static_cast<float>(px[r]) + neg_mean[2];
            }
        }
        for (; x < cols; ++x, out += pixel_step)
            out[0] = out[channel_step] = out[2 * channel_step] = 0.0f;
    }
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::Forward(std::shared_ptr<Blob> input) {
    NEROVA_RETURN_VALUE_ON_NEQ(instance_->SetInputBlob(input, nullptr, ""), NEROVA_OK,
                               NEROVA_ERR_NET, kForward, 193);
    NEROVA_RETURN_VALUE_ON_NEQ(instance_->Forward(), NEROVA_OK, NEROVA_ERR_NET, kForward, 196);
    const NerovaDeviceType cpu = DeviceUtils::GetDefaultCpuDeviceType();
    NEROVA_RETURN_VALUE_ON_NEQ(
        instance_->GetOutputBlob(output_blob_, nullptr, "", cpu, NEROVA_DATA_FORMAT_HOST_DEFAULT),
        NEROVA_OK, NEROVA_ERR_NET, kForward, 200);
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::Post() {
    if (!output_blob_) {
        NEROVA_LOGE(kPost, 210, "output blob is missing.");
        return NEROVA_ERR_NET;
    }
    const BlobDesc& desc = output_blob_->desc();  // no copy: the steady state allocates nothing
    const BlobHandle handle = output_blob_->GetHandle();
    if (desc.dims.size() < 3 || desc.dims[1] < 0 || desc.dims[2] < kMinRowLength ||
        handle.base == nullptr) {
        NEROVA_LOGE(kPost, 214, "output blob is not rows of at least ten floats.");
        return NEROVA_ERR_NET;
    }
    const int k2 = 2 * LandmarkCount();
    if (desc.dims[2] < kRowLandmarks + k2) {
        NEROVA_LOGE(kPost, 215, "output rows are too short for the model's landmarks.");
        return NEROVA_ERR_NET;
    }
    const float* data =
        reinterpret_cast<const float*>(static_cast<const char*>(handle.base) + handle.bytes_offset);
    const NerovaError decoded = DecodeBoxes(desc.dims[1], desc.dims[2], data);
    NEROVA_RETURN_VALUE_ON_NEQ(decoded, NEROVA_OK, decoded, kPost, 217);
    const NerovaError suppressed = NonMaxSuppression();
    NEROVA_RETURN_VALUE_ON_NEQ(suppressed, NEROVA_OK, suppressed, kPost, 220);
    // Points for the surviving faces only.
    points_.resize(faces_.size() * static_cast<size_t>(k2));
    if (k2 > 0) {
        const FrameMapping mapping = Mapping();
        for (size_t i = 0; i < faces_.size(); ++i) {
            const float* row =
                data + static_cast<size_t>(candidate_rows_[kept_from_[i]]) * desc.dims[2];
            DecodeLandmarks(row, k2 / 2, mapping, points_.data() + i * k2);
        }
    }
    return NEROVA_OK;
}

int FaceDetectorAlgorithm::CandidateCapacity() const {
    return std::max({0, param_->top_k, param_->candidate_pool});
}

void FaceDetectorAlgorithm::SizeLists(int capacity) {
    const size_t n = static_cast<size_t>(capacity);
    candidates_.resize(n);
    faces_.reserve(n);
    areas_.resize(n);
    candidate_rows_.resize(n);
    kept_from_.resize(n);
    points_.reserve(n * 2 * static_cast<size_t>(LandmarkCount()));
    blend_sums_.resize(n);
}

NerovaError FaceDetectorAlgorithm::DecodeBoxes(int row_count, int row_length, const float* data) {
    const FaceDetectorParam& p = *param_;
    // A top_k or pool changed since the last frame resizes the lists here, once.
    const int capacity = CandidateCapacity();
    if (candidates_.size() != static_cast<size_t>(capacity)) SizeLists(capacity);
    candidate_count_ = DecodeRows(data, row_count, row_length, p.score_threshold,
                                  static_cast<int>(candidates_.size()), Mapping(),
                                  candidates_.data(), candidate_rows_.data(), LandmarkCount());
    return NEROVA_OK;
}

FrameMapping FaceDetectorAlgorithm::Mapping() const {
    const FaceDetectorParam& p = *param_;
    return {static_cast<float>(p.model_input_w) / scale_w_,
            static_cast<float>(p.model_input_h) / scale_h_, static_cast<float>(p.origin_frame_w),
            static_cast<float>(p.origin_frame_h)};
}

NerovaError FaceDetectorAlgorithm::NonMaxSuppression() {
    faces_.resize(static_cast<size_t>(candidate_count_));  // within the reserved capacity
    const FaceDetectorParam& p = *param_;
    const OverlapRule rule = RuleOf(p);
    int kept = SuppressOverlaps(candidates_.data(), candidate_count_, rule, faces_.data(),
                                areas_.data(), kept_from_.data());
    if (p.overlap_merge == NEROVA_OVERLAP_BLEND)
        BlendOverlaps(candidates_.data(), candidate_count_, rule, faces_.data(), areas_.data(),
                      kept, blend_sums_.data());
    // From a pool, the top_k best survivors; without one the list never held more.
    faces_.resize(static_cast<size_t>(std::min(kept, std::max(0, p.top_k))));
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::GetOutput(NerovaFaceInfo** faces, uint32_t* face_count) {
    const size_t n = faces_.size();
    *face_count = static_cast<uint32_t>(n);
    if (n == 0) {
        *faces = nullptr;
        return NEROVA_OK;
    }
    auto* out = static_cast<NerovaFaceInfo*>(result_allocator_(n * sizeof(NerovaFaceInfo)));
    NEROVA_RETURN_VALUE_ON_EQ(out, nullptr, NEROVA_ERR_OUT_OF_MEMORY, kGetOutput, 327);
    for (size_t i = 0; i < n; ++i) {
        out[i].score = faces_[i].score;
        out[i].x1 = TruncateToInt(faces_[i].x1);
        out[i].y1 = TruncateToInt(faces_[i].y1);
        out[i].x2 = TruncateToInt(faces_[i].x2);
        out[i].y2 = TruncateToInt(faces_[i].y2);
    }
    *faces = out;
    return NEROVA_OK;
}

NerovaError FaceDetectorAlgorithm::GetDetails(uint32_t record_size, NerovaFaceDetail** faces,
                                              uint32_t* face_count) {
    const size_t n = faces_.size();
    *face_count = static_cast<uint32_t>(n);
    *faces = nullptr;
    if (n == 0) return NEROVA_OK;
    const size_t k2 = 2 * static_cast<size_t>(LandmarkCount());
    // Records first, at the host's stride, then every face's points; float-aligned, as any
    // record size the interface accepts is a multiple of the record's alignment.
    const size_t records = n * record_size;
    auto* block = static_cast<unsigned char*>(result_allocator_(records + n * k2 * sizeof(float)));
    NEROVA_RETURN_VALUE_ON_EQ(block, nullptr, NEROVA_ERR_OUT_OF_MEMORY, kGetOutput, 340);
    float* points = reinterpret_cast<float*>(block + records);
    for (size_t i = 0; i < n; ++i) {
        NerovaFaceDetail d{};
        d.score = faces_[i].score;
        d.x1 = faces_[i].x1;
        d.y1 = faces_[i].y1;
        d.x2 = faces_[i].x2;
        d.y2 = faces_[i].y2;
        d.landmark_count = static_cast<uint32_t>(k2 / 2);
        d.landmarks = k2 ? points + i * k2 : nullptr;
        if (k2) std::copy_n(points_.begin() + i * k2, k2, points + i * k2);
        std::memcpy(block + i * record_size, &d, std::min<size_t>(record_size, sizeof d));
    }
    *faces = reinterpret_cast<NerovaFaceDetail*>(block);
    return NEROVA_OK;
}

}  // namespace module
}  // namespace nerova
