// The face detector algorithm: parameter record, set-up and the per-frame pipeline
// (letterbox pre-processing, forward pass, decoding against the network's priors, greedy
// suppression, result records).
#ifndef NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_H_
#define NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_H_

#include <memory>
#include <string>
#include <vector>

#include "face_detector/face_boxes.h"
#include "face_detector/second_look.h"
#include "nerova/config_records.h"
#include "nerova/kernel.h"
#include "nerova/module_common.h"
#include "nerova_face_detector.h"

namespace nerova {
namespace module {

// The detector's parameter record. The thresholds and top_k are the detector's constants;
// a host may change them through GetParam and they then apply from the next frame.
class NEROVA_FACE_DETECTOR_EXPORT FaceDetectorParam : public AbstractParam {
  public:
    FaceDetectorParam() = default;
    FaceDetectorParam(const FaceDetectorParam&) = default;
    FaceDetectorParam& operator=(const FaceDetectorParam&) = default;
    FaceDetectorParam(FaceDetectorParam&&) = default;
    FaceDetectorParam& operator=(FaceDetectorParam&&) = default;
    ~FaceDetectorParam() override;

    // Stores the network input's height, width and the converter's interpolation type.
    // The pointers are not checked.
    NerovaError GetModelInputHWInterpType(int* height, int* width, NerovaInterpType* interp_type);
    // Stores the size of the most recent frame; values are not checked.
    NerovaError SetOriginFrameHW(int height, int width);

    ModelConfig model_config;
    NetworkConfig network_config;
    ParamConverter param_converter;
    int model_input_n = 0;
    int model_input_c = 0;
    int model_input_h = 0;
    int model_input_w = 0;
    int origin_frame_h = -1;
    int origin_frame_w = -1;
    float score_threshold = 0.95f;
    float nms_threshold = 0.7f;
    int top_k = 10;
    // Tiles besides the whole frame (tiling.h): 1 1 none, 0 0 automatic, else rows x cols.
    int tile_rows = 1;
    int tile_cols = 1;
    // Selection: 0, the top_k best candidates go into suppression; else the best
    // max(candidate_pool, top_k) do and the top_k best survivors are kept. The model's
    // "Detection" section sets both; the host may change them.
    int candidate_pool = 0;
    int overlap_merge = NEROVA_OVERLAP_DROP;
    // The points each row carries after its first ten values, by the model's names.
    std::vector<std::string> landmark_names;
    // Faces only a tile found, checked per frame by the second look (second_look.h); 0: none
    // is checked, each counts as the tile found it. The model's "ConfirmTileFaces" sets it.
    int confirm_cap = kDefaultLookCap;
};

class FaceDetectorTestPeer;

// Hosts reach it through the C interface and the framework's registry, so it is not exported.
class FaceDetectorAlgorithm : public AbstractAlgorithm {
  public:
    FaceDetectorAlgorithm() = default;
    ~FaceDetectorAlgorithm() override;

    NerovaError Parse(const std::string& model_path, const std::string& model_extra) override;
    AbstractParam* GetParam() override { return param_.get(); }
    // Beyond the kernel's failures, also 4096 for a network without an input, a first input
    // with fewer than four dims, a non-positive extent, or a channel count other than 3.
    NerovaError Init(const NerovaCustomRuntime* runtime) override;
    NerovaError DeInit() override;

    // The framework's Process (frame, parameters in, parameters out) stays reachable beside
    // the detector's own.
    using AbstractAlgorithm::Process;
    NerovaError Process(const NerovaFrame* frame, NerovaFaceInfo** faces, uint32_t* face_count);
    // Process without the result array: the frame's faces stay in the detector for GetOutput
    // or GetDetails.
    NerovaError Detect(const NerovaFrame* frame);
    NerovaError PreProcess(const NerovaFrame* frame);
    NerovaError Forward(std::shared_ptr<Blob> input);
    // Refuses (4096, logged) an output with fewer than three dims, rows shorter than ten
    // floats, or no data; adds the handle's bytes_offset.
    NerovaError Post();
    // DecodeRows and SuppressOverlaps (face_boxes.h) over the detector's own lists.
    NerovaError DecodeBoxes(int row_count, int row_length, const float* data);
    NerovaError NonMaxSuppression();
    NerovaError GetOutput(NerovaFaceInfo** faces, uint32_t* face_count);
    // The same faces with their boxes as floats and their landmarks: record_size bytes of
    // each record (the host's sizeof, at least the first release's), then the points, in one
    // block for NerovaFaceDetectorDetailsRelease.
    NerovaError GetDetails(uint32_t record_size, NerovaFaceDetail** faces, uint32_t* face_count);
    // With tiling on, after the whole-frame pass: the passes over the frame's tiles, their
    // uncut boxes mapped back and merged with the whole frame's by greedy suppression.
    NerovaError DetectOnTiles(const NerovaFrame* frame);
    // After the tiles' merge: the faces that only tiles found (none of the first whole
    // faces of merged_ overlaps them) are kept when their landmarks are plausible and a second
    // look finds them, up to the cap of checks.
    // tile_passes is what the report gives as the tiles' passes.
    NerovaError ConfirmTileFaces(const NerovaFrame* frame, size_t whole, int tile_passes);
    const LookReport& look_report() const { return look_report_; }

  private:
    friend class FaceDetectorTestPeer;
    // Candidates decoded per pass: top_k, or the pool when it is larger.
    int CandidateCapacity() const;
    // From network-input fractions to the current frame's pixels.
    FrameMapping Mapping() const;
    int LandmarkCount() const { return static_cast<int>(param_->landmark_names.size()); }
    // Sizes the lists for that many candidates; only a changed capacity allocates.
    void SizeLists(int capacity);
    // malloc, or what a test puts in its place to make result allocation fail.
    static void* (*result_allocator_)(size_t);

    std::shared_ptr<FaceDetectorParam> param_;
    std::shared_ptr<Inference> inference_;
    std::shared_ptr<Instance> instance_;
    std::shared_ptr<Blob> input_blob_;
    bool interleaved_input_ = false;  // input_blob_ is NHWC (the XNNPACK instance's own)
    std::shared_ptr<Blob> output_blob_;
    int candidate_count_ = 0;
    std::vector<FaceBox> candidates_;
    std::vector<FaceBox> faces_;
    // Landmarks: the row of each candidate, the candidate of each face, and each face's
    // points (x, y per landmark), decoded for the faces alone.
    std::vector<int32_t> candidate_rows_;
    std::vector<int32_t> kept_from_;
    std::vector<float> points_;
    float scale_ = 1.0f;
    // What each side is resized by: scale_, except on a side so thin that scale_ leaves it no
    // pixel, which is resized to exactly one.
    float scale_w_ = 1.0f;
    float scale_h_ = 1.0f;
    // The frame size the scales belong to: the host may rewrite origin_frame_h/w at any time,
    // so they cannot tell whether the scales still fit the frame.
    int scale_rows_ = -1;
    int scale_cols_ = -1;
    // Working storage reused across frames so that the steady state allocates nothing.
    cv::Mat image_;
    cv::Mat resized_;
    std::vector<float> areas_;
    std::vector<FaceBox> blend_sums_;
    std::vector<FaceBox> merged_;  // every pass's faces of a tiled frame, and their points
    std::vector<float> merged_points_;
    std::vector<FaceBox> sorted_;
    std::vector<float> merged_areas_;
    std::vector<int32_t> order_;
    // The second look's working storage and report.
    LookReport look_report_;
    std::vector<FaceBox> look_faces_;
    std::vector<float> look_points_;
    std::vector<FaceBox> look_candidates_;
    std::vector<int32_t> look_index_;
    std::vector<char> look_keep_;
    cv::Mat look_mosaic_;
    cv::Mat look_crop_;
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_H_
