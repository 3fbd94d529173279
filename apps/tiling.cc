#include "tiling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace nerova_tool {

namespace {

constexpr double kAimFraction = 1.0 / 40.0;  // face size aimed at, share of the longer side
constexpr double kAimPixels = 24.0;          // its size in the network input
constexpr int kEdgePixels = 2;               // a box this close to an inner edge is cut
constexpr int kMaxTiles = 16;

float Iou(const NerovaFaceInfo& a, const NerovaFaceInfo& b) {
    const float w = std::max(0, std::min(a.x2, b.x2) - std::max(a.x1, b.x1));
    const float h = std::max(0, std::min(a.y2, b.y2) - std::max(a.y1, b.y1));
    const float inter = w * h;
    const float uni = static_cast<float>(a.x2 - a.x1) * static_cast<float>(a.y2 - a.y1) +
                      static_cast<float>(b.x2 - b.x1) * static_cast<float>(b.y2 - b.y1) - inter;
    return uni > 0 ? inter / uni : 0.0f;
}

}  // namespace

bool ParseTiles(const std::string& text, Tiling& tiling) {
    tiling = Tiling{};
    if (text == "off") return true;
    if (text == "auto") {
        tiling.automatic = true;
        return true;
    }
    // Digits only, each side a small number: sscanf's %d would wrap 4294967297 to 1.
    const size_t x = text.find_first_of("xX");  // 2x2 or 2X2, as every host reads it
    const auto side = [](const std::string& digits, int& out) {
        if (digits.empty() || digits.size() > 2 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out = std::stoi(digits);
        return out >= 1 && out <= kMaxTiles;
    };
    int rows = 0, cols = 0;
    if (x == std::string::npos || !side(text.substr(0, x), rows) || !side(text.substr(x + 1), cols))
        return false;
    tiling.rows = rows;
    tiling.cols = cols;
    return true;
}

std::vector<cv::Rect> TileGrid(int width, int height, int input_w, int input_h,
                               const Tiling& tiling) {
    const int longer = std::max(width, height);
    const double face = longer * kAimFraction;
    int rows = tiling.rows, cols = tiling.cols;
    if (tiling.automatic) {
        const double side = std::max(face * std::min(input_w, input_h) / kAimPixels,
                                     static_cast<double>(std::max(input_w, input_h)));
        if (side >= longer) return {};
        rows = static_cast<int>(std::ceil(height / side));
        cols = static_cast<int>(std::ceil(width / side));
    }
    if (rows * cols <= 1) return {};
    const int margin = static_cast<int>(std::ceil(face));
    std::vector<cv::Rect> tiles;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int x0 = std::max(0, static_cast<int>(int64_t(c) * width / cols) - margin);
            const int y0 = std::max(0, static_cast<int>(int64_t(r) * height / rows) - margin);
            const int x1 =
                std::min(width, static_cast<int>(int64_t(c + 1) * width / cols) + margin);
            const int y1 =
                std::min(height, static_cast<int>(int64_t(r + 1) * height / rows) + margin);
            tiles.emplace_back(x0, y0, x1 - x0, y1 - y0);
        }
    }
    return tiles;
}

void AddTileFaces(const cv::Rect& tile, const cv::Size& frame, const NerovaFaceInfo* faces,
                  uint32_t count, std::vector<NerovaFaceInfo>& all) {
    for (uint32_t i = 0; i < count; ++i) {
        const NerovaFaceInfo& f = faces[i];
        const bool cut = (tile.x > 0 && f.x1 <= kEdgePixels) ||
                         (tile.y > 0 && f.y1 <= kEdgePixels) ||
                         (tile.x + tile.width < frame.width && f.x2 >= tile.width - kEdgePixels) ||
                         (tile.y + tile.height < frame.height && f.y2 >= tile.height - kEdgePixels);
        if (!cut)
            all.push_back({f.score, f.x1 + tile.x, f.y1 + tile.y, f.x2 + tile.x, f.y2 + tile.y});
    }
}

std::vector<NerovaFaceInfo> MergeFaces(std::vector<NerovaFaceInfo> faces, float threshold) {
    std::stable_sort(
        faces.begin(), faces.end(),
        [](const NerovaFaceInfo& a, const NerovaFaceInfo& b) { return a.score > b.score; });
    std::vector<NerovaFaceInfo> kept;
    for (const NerovaFaceInfo& f : faces) {
        bool overlaps = false;
        for (const NerovaFaceInfo& k : kept) overlaps = overlaps || Iou(f, k) > threshold;
        if (!overlaps) kept.push_back(f);
    }
    return kept;
}

}  // namespace nerova_tool
