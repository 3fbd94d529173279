#include "face_detector/alignment.h"

#include <algorithm>
#include <cmath>

namespace nerova {
namespace module {

namespace {

// The 112 x 112 template in its usual coordinates; right and left are the person's own, so
// the right eye lies on the image's left.
struct TemplatePoint {
    const char* name;
    double x, y;
};
constexpr TemplatePoint kTemplate[] = {
    {"right_eye", 38.2946, 51.6963},         {"left_eye", 73.5318, 51.5014},
    {"nose_tip", 56.0252, 71.7366},          {"right_mouth_corner", 41.5493, 92.3655},
    {"left_mouth_corner", 70.7299, 92.2041}, {"mouth_centre", 56.1396, 92.2848},
};
constexpr double kTemplateSize = 112.0;

int IndexOf(const std::vector<std::string>& names, const char* name) {
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

}  // namespace

bool AlignmentTransform(const std::vector<std::string>& names, const float* points, int size,
                        float matrix[6]) {
    if (IndexOf(names, "right_eye") < 0 || IndexOf(names, "left_eye") < 0) return false;
    const bool corners =
        IndexOf(names, "right_mouth_corner") >= 0 || IndexOf(names, "left_mouth_corner") >= 0;
    double src[6][2], dst[6][2];
    int n = 0;
    for (const TemplatePoint& t : kTemplate) {
        const int i = IndexOf(names, t.name);
        if (i < 0 || (corners && std::string(t.name) == "mouth_centre")) continue;
        src[n][0] = points[2 * i];
        src[n][1] = points[2 * i + 1];
        dst[n][0] = t.x * size / kTemplateSize;
        dst[n][1] = t.y * size / kTemplateSize;
        ++n;
    }
    if (n < 3) return false;
    // Closed form in 2-D: with both sets centred, s*cos = sum(p.q) / sum(|p|^2) and
    // s*sin = sum(p x q) / sum(|p|^2).
    double ps[2] = {0, 0}, qs[2] = {0, 0};
    for (int k = 0; k < n; ++k)
        for (int c = 0; c < 2; ++c) {
            ps[c] += src[k][c] / n;
            qs[c] += dst[k][c] / n;
        }
    double dot = 0, cross = 0, var = 0;
    for (int k = 0; k < n; ++k) {
        const double px = src[k][0] - ps[0], py = src[k][1] - ps[1];
        const double qx = dst[k][0] - qs[0], qy = dst[k][1] - qs[1];
        dot += px * qx + py * qy;
        cross += px * qy - py * qx;
        var += px * px + py * py;
    }
    if (!(var > 1e-9) || !std::isfinite(var)) return false;
    const double a = dot / var, b = cross / var;
    matrix[0] = static_cast<float>(a);
    matrix[1] = static_cast<float>(-b);
    matrix[2] = static_cast<float>(qs[0] - (a * ps[0] - b * ps[1]));
    matrix[3] = static_cast<float>(b);
    matrix[4] = static_cast<float>(a);
    matrix[5] = static_cast<float>(qs[1] - (b * ps[0] + a * ps[1]));
    return true;
}

}  // namespace module
}  // namespace nerova
