#include "face_detector/tiling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace nerova {
namespace module {

std::vector<Tile> TileGrid(int width, int height, int input_w, int input_h, int rows, int cols) {
    const int longer = std::max(width, height);
    const double face = longer * kAimFraction;
    if (rows == 0 && cols == 0) {
        const double side = std::max(face * std::min(input_w, input_h) / kAimPixels,
                                     static_cast<double>(std::max(input_w, input_h)));
        if (side >= longer) return {};
        rows = static_cast<int>(std::ceil(height / side));
        cols = static_cast<int>(std::ceil(width / side));
    }
    rows = std::min(rows, height);  // a tile of no pixel has nothing to show
    cols = std::min(cols, width);
    if (rows * cols <= 1) return {};
    const int margin = static_cast<int>(std::ceil(face));
    std::vector<Tile> tiles;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            int x0 = std::max(0, static_cast<int>(int64_t{c} * width / cols) - margin);
            int y0 = std::max(0, static_cast<int>(int64_t{r} * height / rows) - margin);
            x0 &= ~1;
            y0 &= ~1;
            const int x1 =
                std::min(width, static_cast<int>(int64_t{c + 1} * width / cols) + margin);
            const int y1 =
                std::min(height, static_cast<int>(int64_t{r + 1} * height / rows) + margin);
            tiles.push_back({x0, y0, x1 - x0, y1 - y0});
        }
    }
    return tiles;
}

bool TileView(const NerovaFrame& frame, const Tile& tile, NerovaFrame& view) {
    view = frame;
    view.width = tile.width;
    view.height = tile.height;
    const auto at = [](const uint8_t* plane, int32_t stride, int x, int y) {
        return plane ? plane + static_cast<int64_t>(y) * stride + x : nullptr;
    };
    int bytes_per_pixel = 0;
    int32_t format;  // as the 32-bit integer the host wrote
    std::memcpy(&format, &frame.pixel_format, sizeof format);
    switch (format) {
        case NEROVA_PIXEL_FORMAT_BGR:
        case NEROVA_PIXEL_FORMAT_RGB:
            bytes_per_pixel = 3;
            break;
        case NEROVA_PIXEL_FORMAT_BGRA:
        case NEROVA_PIXEL_FORMAT_RGBA:
            bytes_per_pixel = 4;
            break;
        case NEROVA_PIXEL_FORMAT_GRAY:
            bytes_per_pixel = 1;
            break;
        case NEROVA_PIXEL_FORMAT_NV12:
        case NEROVA_PIXEL_FORMAT_NV21:  // interleaved chroma: two bytes per two pixels
            view.data[0] = at(frame.data[0], frame.stride[0], tile.x, tile.y);
            view.data[1] = at(frame.data[1], frame.stride[1], tile.x, tile.y / 2);
            return true;
        case NEROVA_PIXEL_FORMAT_YV12:
            view.data[0] = at(frame.data[0], frame.stride[0], tile.x, tile.y);
            view.data[1] = at(frame.data[1], frame.stride[1], tile.x / 2, tile.y / 2);
            view.data[2] = at(frame.data[2], frame.stride[2], tile.x / 2, tile.y / 2);
            return true;
        default:
            return false;
    }
    view.data[0] = at(frame.data[0], frame.stride[0], tile.x * bytes_per_pixel, tile.y);
    return true;
}

bool CutByInnerEdge(const FaceBox& box, const Tile& tile, int frame_width, int frame_height) {
    return (tile.x > 0 && box.x1 < kEdgePixels + 1) || (tile.y > 0 && box.y1 < kEdgePixels + 1) ||
           (tile.x + tile.width < frame_width && box.x2 >= tile.width - kEdgePixels) ||
           (tile.y + tile.height < frame_height && box.y2 >= tile.height - kEdgePixels);
}

bool ParseTiles(const char* text, int& rows, int& cols) {
    if (!text) return false;
    const std::string t = text;
    if (t == "off") return rows = cols = 1, true;
    if (t == "auto") return rows = cols = 0, true;
    // Digits only, each side a small number: no sign, no spaces, no overflow.
    const size_t x = t.find_first_of("xX");
    const auto side = [](const std::string& digits, int& out) {
        if (digits.empty() || digits.size() > 2 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out = std::stoi(digits);
        return out >= 1 && out <= kMaxTiles;
    };
    int r = 0, c = 0;
    if (x == std::string::npos || !side(t.substr(0, x), r) || !side(t.substr(x + 1), c))
        return false;
    rows = r;
    cols = c;
    return true;
}

}  // namespace module
}  // namespace nerova
