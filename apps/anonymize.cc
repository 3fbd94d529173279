#include "anonymize.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace nerova_tool {
namespace {

// Shrinks the region to a few cells across and back: no feature a detector (or a person)
// could use survives, whatever the face's size, at a cost independent of it.
cv::Mat Hidden(const cv::Mat& roi, Hide how) {
    if (how == Hide::kSolid) return cv::Mat(roi.size(), roi.type(), cv::Scalar::all(0));
    const int cells = how == Hide::kBlur ? 6 : 8;
    const double f = static_cast<double>(cells) / std::max(roi.cols, roi.rows);
    const cv::Size small(std::max(1, cvRound(roi.cols * f)), std::max(1, cvRound(roi.rows * f)));
    cv::Mat down, out;
    cv::resize(roi, down, small, 0, 0, cv::INTER_AREA);
    if (how == Hide::kPixelate) {
        cv::resize(down, out, roi.size(), 0, 0, cv::INTER_NEAREST);
        return out;
    }
    cv::GaussianBlur(down, down, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
    cv::resize(down, out, roi.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

}  // namespace

EyePoints FindEyes(const std::vector<std::string>& names) {
    EyePoints eyes;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "right_eye") eyes.right = static_cast<int>(i);
        if (names[i] == "left_eye") eyes.left = static_cast<int>(i);
    }
    if (eyes.right < 0 || eyes.left < 0) eyes = EyePoints{};
    return eyes;
}

void Anonymize(cv::Mat& bgr, const std::vector<Face>& faces, Hide how, float scale, MaskShape shape,
               EyePoints eyes) {
    if (how == Hide::kNone) return;
    const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
    for (const Face& face : faces) {
        const NerovaFaceInfo& f = face.info;
        const double cx = (f.x1 + f.x2) / 2.0, cy = (f.y1 + f.y2) / 2.0;
        const double hw = (f.x2 - f.x1) * scale / 2.0, hh = (f.y2 - f.y1) * scale / 2.0;
        // The person's right eye lies on the image's left: the line from it to the left eye
        // is the face's horizontal.
        double angle = 0;
        if (shape == MaskShape::kEllipse && eyes.right >= 0 &&
            face.points.size() > 2 * static_cast<size_t>(std::max(eyes.right, eyes.left)) + 1) {
            const float* r = &face.points[2 * eyes.right];
            const float* l = &face.points[2 * eyes.left];
            angle = std::atan2(l[1] - r[1], l[0] - r[0]) * 180.0 / CV_PI;
        }
        const cv::RotatedRect ellipse(
            cv::Point2f(static_cast<float>(cx), static_cast<float>(cy)),
            cv::Size2f(static_cast<float>(2 * hw), static_cast<float>(2 * hh)),
            static_cast<float>(angle));
        const cv::Rect box = angle == 0 ? cv::Rect(cv::Point(cvFloor(cx - hw), cvFloor(cy - hh)),
                                                   cv::Point(cvCeil(cx + hw), cvCeil(cy + hh)))
                                        : ellipse.boundingRect();
        const cv::Rect clipped = box & frame;
        if (clipped.empty()) continue;
        cv::Mat roi = bgr(clipped);
        const cv::Mat hidden = Hidden(roi, how);
        if (shape == MaskShape::kRect) {
            hidden.copyTo(roi);
            continue;
        }
        // The ellipse belongs to the unclipped box, so a face at the edge stays an ellipse.
        cv::Mat mask(clipped.size(), CV_8UC1, cv::Scalar(0));
        const cv::Point2f centre(static_cast<float>(cx - clipped.x),
                                 static_cast<float>(cy - clipped.y));
        const cv::Size2f size = angle == 0 ? cv::Size2f(box.width, box.height) : ellipse.size;
        cv::ellipse(mask, cv::RotatedRect(centre, size, static_cast<float>(angle)), cv::Scalar(255),
                    cv::FILLED);
        hidden.copyTo(roi, mask);
    }
}

void DrawFaces(cv::Mat& bgr, const std::vector<Face>& faces) {
    const int thickness = std::max(2, std::min(bgr.cols, bgr.rows) / 300);
    for (const Face& face : faces) {
        const NerovaFaceInfo& f = face.info;
        for (size_t k = 0; k + 1 < face.points.size(); k += 2)
            cv::circle(bgr, cv::Point2f(face.points[k], face.points[k + 1]), thickness,
                       cv::Scalar(0, 0, 255), cv::FILLED);
        const cv::Rect r(cv::Point(f.x1, f.y1), cv::Point(f.x2, f.y2));
        cv::rectangle(bgr, r, cv::Scalar(0, 255, 0), thickness);
        char label[16];
        std::snprintf(label, sizeof label, "%.2f", f.score);
        cv::putText(bgr, label, cv::Point(r.x, std::max(12, r.y - 4)), cv::FONT_HERSHEY_SIMPLEX,
                    0.4 * thickness, cv::Scalar(0, 255, 0), std::max(1, thickness / 2));
    }
}

}  // namespace nerova_tool
