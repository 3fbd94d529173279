// The page a person reads before publishing an anonymised video: a timeline per face of
// where its mask was detected, interpolated, predicted or held, the shot cuts, pictures of
// the frames most likely to need a second look, and counts. One self-contained HTML file:
// styles inline, pictures inlined as JPEG, nothing fetched.
#ifndef NEROVA_MODULE_VIDEO_REVIEW_PAGE_H_
#define NEROVA_MODULE_VIDEO_REVIEW_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nerova/nerova_defines.h"
#include "video/tracker.h"

namespace nerova {
namespace module {

// What decides which frames are worth a look.
struct ReviewSettings {
    int long_run = 8;          // frames in a row without a detection worth checking
    float low_score = 0.7f;    // a detection below this is worth checking
    float edge_share = 0.25f;  // within this share of its side of an edge, a box is at the edge
    size_t max_pictures = 48;  // pictures on one page, the likeliest exposures first
    int picture_width = 320;   // pixels, frames narrower are kept as they are
};

struct ReviewCounts {
    uint32_t frames = 0, tracks = 0, cuts = 0, to_check = 0, pictures = 0;
    uint64_t masks = 0;
    uint64_t states[4] = {0, 0, 0, 0};  // masks by NerovaTrackState
};

class ReviewPage {
  public:
    // tracker: finished. name: the video's, as the page shows it (its file name is used).
    ReviewPage(const FaceTracker& tracker, const std::string& name, double fps, int width,
               int height, const ReviewSettings& settings = {});
    // Whether the page shows frame `frame`: its pixels are then wanted through Picture.
    bool Wants(uint32_t frame) const { return checks_.count(frame) != 0; }
    // Frame `frame` as written (masks on it), kept small when wanted. "" or why the picture
    // could not be made.
    std::string Picture(uint32_t frame, const NerovaFrame& pixels);
    std::string Html() const;
    const ReviewCounts& counts() const { return counts_; }

  private:
    struct Box {
        uint32_t frame;
        int32_t state;
        float score, x1, y1, x2, y2;
    };
    struct Check {
        int priority;  // lower first: a face that may be exposed before a long guess
        uint32_t track;
        std::string why;
        Box mark;  // the box it is about
    };
    void FindChecks();

    ReviewSettings s_;
    std::string name_;
    double fps_;
    int width_, height_;
    ReviewCounts counts_;
    std::vector<uint32_t> cuts_;
    std::map<uint32_t, std::vector<Box>> tracks_;                      // by id, in frame order
    std::map<uint32_t, std::vector<Check>> checks_;                    // by frame
    std::map<uint32_t, std::string> pictures_;                         // JPEG data by frame
    std::map<uint32_t, std::vector<std::pair<uint32_t, Box>>> shown_;  // boxes of checked frames
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_VIDEO_REVIEW_PAGE_H_
