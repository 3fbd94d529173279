#include "video/review_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "nerova/module_common.h"
#include "nerova_video.h"

namespace nerova {
namespace module {

namespace {

// The words and colours of each NerovaTrackState, in its order.
constexpr const char* kStates[] = {"detected", "predicted", "interpolated", "held"};
constexpr const char* kStateTitles[] = {"Detected", "Predicted", "Interpolated", "Held"};
constexpr const char* kStateMeanings[] = {
    "a detection placed the mask", "carried along the face's motion past its detections",
    "bridged between two detections", "kept where the face was seen, no motion known"};

// Exposure first: a face that may show unmasked beside its track, then long guesses, then
// weak detections.
constexpr int kPriorityEdge = 0, kPriorityGuess = 1, kPriorityBridge = 2, kPriorityScore = 3;

const char* StateName(int32_t state) {
    return state >= 0 && state < 4 ? kStates[state] : "predicted";
}

// Digits without the host's locale: the page is the same from every host.
std::string Fixed(double v, int decimals) {
    if (!std::isfinite(v)) return "0";
    double scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    const long long n = std::llround(std::fabs(v) * scale);
    const long long whole = static_cast<long long>(n / static_cast<long long>(scale));
    std::string out = (v < 0 && n != 0 ? "-" : "") + std::to_string(whole);
    if (decimals > 0) {
        std::string frac = std::to_string(n % static_cast<long long>(scale));
        out += "." + std::string(static_cast<size_t>(decimals) - frac.size(), '0') + frac;
    }
    return out;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

const char kStyle[] = R"(body{font:15px/1.4 sans-serif;margin:24px;color:#1f2328;background:#fff}
h1{font-size:22px}h2{font-size:18px;margin-top:28px}
table.counts td,table.counts th{padding:2px 14px 2px 0;text-align:left}
table.counts td{text-align:right;font-variant-numeric:tabular-nums}
.key{display:inline-block;width:14px;height:14px;margin:0 6px 0 16px;vertical-align:-2px}
.row{display:flex;align-items:center;height:18px;margin:2px 0}
.name{width:90px;flex:none;font-size:13px}
.bar{flex:1;height:14px;background:#eaeef2}
.ends{flex:1;display:flex;justify-content:space-between;font-size:12px;color:#59636e}
.detected{fill:#1a7f37;background:#1a7f37;stroke:#1a7f37}
.predicted{fill:#e16f24;background:#e16f24;stroke:#e16f24}
.interpolated{fill:#0969da;background:#0969da;stroke:#0969da}
.held{fill:#8250df;background:#8250df;stroke:#8250df}
line.cut{stroke:#cf222e;stroke-width:2px;vector-effect:non-scaling-stroke}
.shots li{color:#cf222e}
.checks{display:flex;flex-wrap:wrap;gap:16px}
figure{margin:0;width:min-content}
.pic{position:relative;line-height:0;background:#d0d7de}
.pic img{display:block}
.pic svg{position:absolute;left:0;top:0;width:100%;height:100%}
.pic rect{fill:none;stroke-width:2px;vector-effect:non-scaling-stroke}
.pic rect.mark{stroke:#fff;stroke-dasharray:6 4}
.none{display:flex;align-items:center;justify-content:center;color:#59636e;line-height:1.4}
figcaption{font-size:13px;margin-top:4px;min-width:240px})";

}  // namespace

ReviewPage::ReviewPage(const FaceTracker& tracker, const std::string& name, double fps, int width,
                       int height, const ReviewSettings& settings)
    : s_(settings),
      name_(std::filesystem::path(name).filename().string()),
      fps_(fps > 0 ? fps : 25),
      width_(width),
      height_(height) {
    if (name_.empty()) name_ = name;
    cuts_ = tracker.cuts();
    counts_.frames = tracker.frame_count();
    counts_.cuts = static_cast<uint32_t>(cuts_.size());
    for (uint32_t f = 0; f < counts_.frames; ++f) {
        for (const TrackBox& b : tracker.Frame(f)) {
            const int32_t state = b.state >= 0 && b.state < 4 ? b.state : 1;
            tracks_[b.id].push_back({f, state, b.score, b.x1, b.y1, b.x2, b.y2});
            ++counts_.masks;
            ++counts_.states[state];
        }
    }
    counts_.tracks = static_cast<uint32_t>(tracks_.size());
    FindChecks();
    for (const auto& [f, checks] : checks_) {
        for (const TrackBox& b : tracker.Frame(f))
            shown_[f].push_back({b.id, {f, b.state, b.score, b.x1, b.y1, b.x2, b.y2}});
    }
}

void ReviewPage::FindChecks() {
    const auto is_cut = [&](uint32_t frame) {
        return std::binary_search(cuts_.begin(), cuts_.end(), frame);
    };
    const auto at_edge = [&](const Box& b) {
        const float mx = s_.edge_share * (b.x2 - b.x1), my = s_.edge_share * (b.y2 - b.y1);
        return b.x1 <= mx || b.y1 <= my || b.x2 >= width_ - mx || b.y2 >= height_ - my;
    };
    std::map<uint32_t, std::vector<Check>> all;
    for (const auto& [id, boxes] : tracks_) {
        const std::string face = "Face " + std::to_string(id);
        // A face whose mask begins or ends away from the frame's edges, not at a cut nor at
        // the video's ends: the detector may have missed it in the frame beside.
        const Box& first = boxes.front();
        const Box& last = boxes.back();
        if (first.frame > 0 && !is_cut(first.frame) && !at_edge(first))
            all[first.frame - 1].push_back({kPriorityEdge, id,
                                            face + " starts mid-frame: masked from frame " +
                                                std::to_string(first.frame) +
                                                ", is it here unmasked?",
                                            first});
        if (last.frame + 1 < counts_.frames && !is_cut(last.frame + 1) && !at_edge(last))
            all[last.frame + 1].push_back({kPriorityEdge, id,
                                           face + " ends mid-frame: masked up to frame " +
                                               std::to_string(last.frame) +
                                               ", is it here unmasked?",
                                           last});
        // Runs without a detection: the frame farthest from one, where the mask is a guess.
        for (size_t i = 0; i < boxes.size();) {
            if (boxes[i].state == NEROVA_TRACK_DETECTED) {
                ++i;
                continue;
            }
            size_t j = i;
            while (j + 1 < boxes.size() && boxes[j + 1].state != NEROVA_TRACK_DETECTED &&
                   boxes[j + 1].frame == boxes[j].frame + 1)
                ++j;
            const size_t run = j - i + 1;
            if (run >= static_cast<size_t>(s_.long_run)) {
                const bool before = i > 0 && boxes[i - 1].state == NEROVA_TRACK_DETECTED &&
                                    boxes[i - 1].frame + 1 == boxes[i].frame;
                const bool after = j + 1 < boxes.size() &&
                                   boxes[j + 1].state == NEROVA_TRACK_DETECTED &&
                                   boxes[j + 1].frame == boxes[j].frame + 1;
                const size_t pick = before && after ? i + run / 2 : before ? j : after ? i : j;
                const Box& b = boxes[pick];
                const bool bridge = b.state == NEROVA_TRACK_INTERPOLATED;
                all[b.frame].push_back({bridge ? kPriorityBridge : kPriorityGuess, id,
                                        face + " " + StateName(b.state) + " for " +
                                            std::to_string(run) + " frames without a detection",
                                        b});
            }
            i = j + 1;
        }
        // Its weakest detection, when weak.
        const Box* weakest = nullptr;
        for (const Box& b : boxes)
            if (b.state == NEROVA_TRACK_DETECTED && (!weakest || b.score < weakest->score))
                weakest = &b;
        if (weakest && weakest->score < s_.low_score)
            all[weakest->frame].push_back(
                {kPriorityScore, id, face + " detected at a low score, " + Fixed(weakest->score, 2),
                 *weakest});
    }
    counts_.to_check = static_cast<uint32_t>(all.size());
    // The pictures kept: the most urgent reason of each frame first, then the earlier frame.
    std::vector<std::pair<int, uint32_t>> order;
    for (const auto& [frame, checks] : all) {
        int best = kPriorityScore;
        for (const Check& c : checks) best = std::min(best, c.priority);
        order.push_back({best, frame});
    }
    std::sort(order.begin(), order.end());
    if (order.size() > s_.max_pictures) order.resize(s_.max_pictures);
    for (const auto& [priority, frame] : order) checks_[frame] = std::move(all[frame]);
}

std::string ReviewPage::Picture(uint32_t frame, const NerovaFrame& pixels) {
    if (!Wants(frame)) return "";
    if (pixels.width != width_ || pixels.height != height_)
        return "the frame is not of the video's size";
    cv::Mat bgr = FrameConverter::FrameToMat(&pixels, NEROVA_PIXEL_FORMAT_BGR);
    if (bgr.empty()) return "the frame cannot be read";
    const int width = pixels.width, height = pixels.height;
    if (width > s_.picture_width) {
        const int h = std::max(1, static_cast<int>(std::lround(static_cast<double>(height) *
                                                               s_.picture_width / width)));
        cv::Mat small;
        cv::resize(bgr, small, cv::Size(s_.picture_width, h), 0, 0, cv::INTER_AREA);
        bgr = small;
    }
    std::vector<uint8_t> jpeg;
    if (!cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 80}))
        return "the picture could not be encoded";
    pictures_[frame].assign(jpeg.begin(), jpeg.end());
    counts_.pictures = static_cast<uint32_t>(pictures_.size());
    return "";
}

std::string ReviewPage::Html() const {
    const std::string frames = std::to_string(std::max<uint32_t>(1, counts_.frames));
    const auto seconds = [&](uint32_t frame) { return Fixed(frame / fps_, 2) + " s"; };
    std::string h;
    h +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Review of " +
        Escape(name_) + "</title>\n<style>\n" + kStyle + "\n</style>\n</head>\n<body>\n";
    h += "<h1>Review of " + Escape(name_) + "</h1>\n";

    h += "<section id=\"counts\">\n<h2>Counts</h2>\n<table class=\"counts\">\n";
    const auto count = [&](const std::string& what, uint64_t n) {
        h += "<tr><th>" + what + "</th><td>" + std::to_string(n) + "</td></tr>\n";
    };
    count("Frames", counts_.frames);
    count("Faces followed", counts_.tracks);
    count("Masks", counts_.masks);
    for (int s = 0; s < 4; ++s) count(std::string(kStateTitles[s]) + " masks", counts_.states[s]);
    count("Shot cuts", counts_.cuts);
    count("Frames to check", counts_.to_check);
    h += "</table>\n</section>\n";

    h += "<section id=\"timeline\">\n<h2>Timeline</h2>\n<p class=\"legend\">";
    for (int s = 0; s < 4; ++s)
        h += std::string("<span class=\"key ") + kStates[s] + "\"></span>" + kStateTitles[s] +
             ": " + kStateMeanings[s] + (s < 3 ? ";" : ".");
    h += "</p>\n<div class=\"row\"><span class=\"name\">Frame</span><div class=\"ends\"><span>0"
         "</span><span>" +
         std::to_string(counts_.frames ? counts_.frames - 1 : 0) + "</span></div></div>\n";
    std::string cut_lines;
    for (const uint32_t c : cuts_)
        cut_lines += "<line class=\"cut\" x1=\"" + std::to_string(c) + "\" y1=\"0\" x2=\"" +
                     std::to_string(c) + "\" y2=\"1\"><title>Cut at frame " + std::to_string(c) +
                     "</title></line>";
    for (const auto& [id, boxes] : tracks_) {
        const std::string face = "Face " + std::to_string(id);
        h += "<div class=\"row track\" data-track=\"" + std::to_string(id) +
             "\"><span class=\"name\">" + face + "</span><svg class=\"bar\" viewBox=\"0 0 " +
             frames + " 1\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"" + face +
             ", frames " + std::to_string(boxes.front().frame) + " to " +
             std::to_string(boxes.back().frame) + "\">";
        for (size_t i = 0; i < boxes.size();) {
            size_t j = i;
            while (j + 1 < boxes.size() && boxes[j + 1].state == boxes[i].state &&
                   boxes[j + 1].frame == boxes[j].frame + 1)
                ++j;
            const char* state = StateName(boxes[i].state);
            h += std::string("<rect class=\"") + state + "\" x=\"" +
                 std::to_string(boxes[i].frame) + "\" y=\"0\" width=\"" +
                 std::to_string(boxes[j].frame - boxes[i].frame + 1) + "\" height=\"1\"><title>" +
                 face + " " + state + ", frames " + std::to_string(boxes[i].frame) + " to " +
                 std::to_string(boxes[j].frame) + "</title></rect>";
            i = j + 1;
        }
        h += cut_lines + "</svg></div>\n";
    }
    if (tracks_.empty()) h += "<p>No face was found in this video.</p>\n";
    if (cuts_.empty()) {
        h += "<p>No shot cuts.</p>\n";
    } else {
        h += "<ul class=\"shots\">\n";
        for (const uint32_t c : cuts_)
            h += "<li id=\"cut-" + std::to_string(c) + "\">Cut at frame " + std::to_string(c) +
                 " (" + seconds(c) + ")</li>\n";
        h += "</ul>\n";
    }
    h += "</section>\n";

    h += "<section id=\"check\">\n<h2>Frames to check</h2>\n";
    if (checks_.empty()) {
        h += "<p>Nothing stands out: every face was detected, or followed for a few frames "
             "only.</p>\n";
    } else {
        if (checks_.size() < counts_.to_check)
            h += "<p>The " + std::to_string(checks_.size()) + " most urgent of " +
                 std::to_string(counts_.to_check) + " frames.</p>\n";
        h += "<div class=\"checks\">\n";
        const int pw = std::min(width_, s_.picture_width);
        const int ph =
            std::max(1, static_cast<int>(std::lround(static_cast<double>(height_) * pw / width_)));
        for (const auto& [frame, checks] : checks_) {
            const std::string f = std::to_string(frame);
            h += "<figure id=\"frame-" + f +
                 "\"><div class=\"pic\" style=\"width:" + std::to_string(pw) +
                 "px;height:" + std::to_string(ph) + "px\">";
            const auto picture = pictures_.find(frame);
            if (picture != pictures_.end())
                h += "<img src=\"data:image/jpeg;base64," + Base64(picture->second) +
                     "\" width=\"" + std::to_string(pw) + "\" height=\"" + std::to_string(ph) +
                     "\" alt=\"Frame " + f + " as written\">";
            else
                h += "<div class=\"none\" style=\"height:100%\">No picture of this frame</div>";
            h += "<svg viewBox=\"0 0 " + std::to_string(width_) + " " + std::to_string(height_) +
                 "\" preserveAspectRatio=\"none\">";
            const auto rect = [&](const Box& b, const std::string& cls) {
                h += "<rect class=\"" + cls + "\" x=\"" + Fixed(b.x1, 1) + "\" y=\"" +
                     Fixed(b.y1, 1) + "\" width=\"" + Fixed(b.x2 - b.x1, 1) + "\" height=\"" +
                     Fixed(b.y2 - b.y1, 1) + "\"/>";
            };
            const auto shown = shown_.find(frame);
            if (shown != shown_.end())
                for (const auto& [id, b] : shown->second) rect(b, StateName(b.state));
            for (const Check& c : checks)
                if (c.mark.frame != frame) rect(c.mark, "mark");
            h += "</svg></div><figcaption><b>Frame " + f + "</b> (" + seconds(frame) + ")";
            for (const Check& c : checks) h += "<br>" + Escape(c.why);
            h += "</figcaption></figure>\n";
        }
        h += "</div>\n";
    }
    h += "</section>\n</body>\n</html>\n";
    return h;
}

}  // namespace module
}  // namespace nerova
