#include "face_detector/second_look.h"

#include <algorithm>
#include <cmath>

namespace nerova {
namespace module {

int LookCellSide(int input_w, int input_h) {
    const int shorter = std::max(1, std::min(input_w, input_h));
    return std::min(shorter, std::max(kMinLookCell, shorter / kLookCellsAcross));
}

std::vector<LookCell> PlanLook(const FaceBox* boxes, int count, int input_w, int input_h) {
    const int cell = LookCellSide(input_w, input_h);
    const int across = std::max(1, input_w / cell), down = std::max(1, input_h / cell);
    const int n = std::max(0, std::min(count, across * down));
    std::vector<LookCell> cells(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const FaceBox& b = boxes[i];
        LookCell& c = cells[static_cast<size_t>(i)];
        c.side = std::max(1.0f, kLookCropFactor * std::max(b.x2 - b.x1, b.y2 - b.y1));
        c.x = 0.5f * (b.x1 + b.x2) - 0.5f * c.side;
        c.y = 0.5f * (b.y1 + b.y2) - 0.5f * c.side;
        c.cell_x = (i % across) * cell;
        c.cell_y = (i / across) * cell;
        c.cell = cell;
    }
    return cells;
}

bool FromLook(const FaceBox& face, const std::vector<LookCell>& cells, FaceBox* frame_box,
              int* index) {
    const float cx = 0.5f * (face.x1 + face.x2), cy = 0.5f * (face.y1 + face.y2);
    for (size_t i = 0; i < cells.size(); ++i) {
        const LookCell& c = cells[i];
        if (cx < c.cell_x || cy < c.cell_y || cx >= c.cell_x + c.cell || cy >= c.cell_y + c.cell)
            continue;
        const float s = c.side / static_cast<float>(c.cell);
        *frame_box = {face.score, c.x + (face.x1 - c.cell_x) * s, c.y + (face.y1 - c.cell_y) * s,
                      c.x + (face.x2 - c.cell_x) * s, c.y + (face.y2 - c.cell_y) * s};
        *index = static_cast<int>(i);
        return true;
    }
    return false;
}

FacePoints IndexFacePoints(const std::vector<std::string>& names) {
    FacePoints p;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        const int k = static_cast<int>(i);
        if (n == "right_eye") p.right_eye = k;
        if (n == "left_eye") p.left_eye = k;
        if (n == "nose_tip" || n == "nose") p.nose = k;
        if (n == "mouth_centre" || n == "mouth_center" || n == "mouth") p.mouth = k;
        if (n == "right_mouth_corner") p.right_corner = k;
        if (n == "left_mouth_corner") p.left_corner = k;
    }
    return p;
}

bool PlausibleFace(const FaceBox& box, const float* points, const FacePoints& which) {
    if (!which.usable()) return true;
    const auto x = [points](int k) { return points[2 * k]; };
    const auto y = [points](int k) { return points[2 * k + 1]; };
    // The person's right eye is on the image's left of an upright face: the eye line runs
    // from it to the left eye, and its normal (turned clockwise, y down) points to the chin.
    const float ex = x(which.left_eye) - x(which.right_eye);
    const float ey = y(which.left_eye) - y(which.right_eye);
    const float eyes = std::hypot(ex, ey);
    const float width = box.x2 - box.x1;
    if (!(width > 0.0f) || !(eyes >= kMinEyeShare * width && eyes <= kMaxEyeShare * width))
        return false;
    const float nx = -ey / eyes, ny = ex / eyes;
    const float mx = 0.5f * (x(which.left_eye) + x(which.right_eye));
    const float my = 0.5f * (y(which.left_eye) + y(which.right_eye));
    const float mouth_x =
        which.mouth >= 0 ? x(which.mouth) : 0.5f * (x(which.right_corner) + x(which.left_corner));
    const float mouth_y =
        which.mouth >= 0 ? y(which.mouth) : 0.5f * (y(which.right_corner) + y(which.left_corner));
    const float nose = (x(which.nose) - mx) * nx + (y(which.nose) - my) * ny;
    const float mouth = (mouth_x - mx) * nx + (mouth_y - my) * ny;
    return nose > 0.0f && mouth > nose;
}

}  // namespace module
}  // namespace nerova
