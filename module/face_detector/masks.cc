#include "face_detector/masks.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace nerova {
namespace module {

namespace {

// Shrinks the region to a few cells across and back: no feature a detector (or a person)
// could use survives, whatever the face's size, at a cost independent of it.
cv::Mat Hidden(const cv::Mat& roi, int hide, const cv::Mat& replacement) {
    if (hide == NEROVA_HIDE_SOLID) return cv::Mat(roi.size(), roi.type(), cv::Scalar::all(0));
    cv::Mat out;
    if (hide == NEROVA_HIDE_IMAGE) {
        cv::resize(replacement, out, roi.size(), 0, 0, cv::INTER_AREA);
        return out;
    }
    const int cells = hide == NEROVA_HIDE_BLUR ? 6 : 8;
    const double f = static_cast<double>(cells) / std::max(roi.cols, roi.rows);
    const cv::Size small(std::max(1, cvRound(roi.cols * f)), std::max(1, cvRound(roi.rows * f)));
    cv::Mat down;
    cv::resize(roi, down, small, 0, 0, cv::INTER_AREA);
    if (hide == NEROVA_HIDE_PIXELATE) {
        cv::resize(down, out, roi.size(), 0, 0, cv::INTER_NEAREST);
        return out;
    }
    cv::GaussianBlur(down, down, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
    cv::resize(down, out, roi.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

}  // namespace

void HideRegions(cv::Mat& image, const NerovaMaskRegion* regions, size_t count, int hide, int shape,
                 float scale, const cv::Mat& replacement) {
    const cv::Rect frame(0, 0, image.cols, image.rows);
    for (size_t i = 0; i < count; ++i) {
        const NerovaMaskRegion& r = regions[i];
        const double cx = (r.x1 + r.x2) / 2.0, cy = (r.y1 + r.y2) / 2.0;
        const double hw = (r.x2 - r.x1) * scale / 2.0, hh = (r.y2 - r.y1) * scale / 2.0;
        if (!(hw > 0 && hh > 0 && std::isfinite(cx) && std::isfinite(cy)) || hw > 1e6 || hh > 1e6)
            continue;
        const double angle = shape == NEROVA_MASK_ELLIPSE && std::isfinite(r.angle) ? r.angle : 0;
        const cv::RotatedRect ellipse(
            cv::Point2f(static_cast<float>(cx), static_cast<float>(cy)),
            cv::Size2f(static_cast<float>(2 * hw), static_cast<float>(2 * hh)),
            static_cast<float>(angle));
        const cv::Rect box = angle == 0 ? cv::Rect(cv::Point(cvFloor(cx - hw), cvFloor(cy - hh)),
                                                   cv::Point(cvCeil(cx + hw), cvCeil(cy + hh)))
                                        : ellipse.boundingRect();
        const cv::Rect clipped = box & frame;
        if (clipped.empty()) continue;
        cv::Mat roi = image(clipped);
        const cv::Mat hidden = Hidden(roi, hide, replacement);
        if (shape == NEROVA_MASK_RECT) {
            hidden.copyTo(roi);
            continue;
        }
        // The ellipse belongs to the unclipped box, so a face at the edge stays an ellipse.
        cv::Mat mask(clipped.size(), CV_8UC1, cv::Scalar(0));
        const cv::Point2f centre(static_cast<float>(cx - clipped.x),
                                 static_cast<float>(cy - clipped.y));
        const cv::Size2f size =
            angle == 0 ? cv::Size2f(static_cast<float>(box.width), static_cast<float>(box.height))
                       : ellipse.size;
        cv::ellipse(mask, cv::RotatedRect(centre, size, static_cast<float>(angle)), cv::Scalar(255),
                    cv::FILLED);
        hidden.copyTo(roi, mask);
    }
}

}  // namespace module
}  // namespace nerova
