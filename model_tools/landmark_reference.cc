// Reference facial points on the hand-labelled calibration photos, from dlib's 68-point
// shape predictor, to measure the error of a model's landmarks against.
//
//   landmark_reference LABELS.json ROOT shape_predictor_68_face_landmarks.dat > reference.json
//
// Output: {"predictor": ..., "images": {PATH: [FACE or null, ...]}}, one entry per labelled
// face in label order (null for a box wholly outside its image). A face holds the
// rectangle the predictor ran on, "box" [x1, y1, x2, y2) with "rect": "detector" when dlib's
// own detector found the face, "label" when it did not and the rectangle comes from the hand
// box; the named points [x, y] in image pixels (pixel centres at integers); "interocular",
// the distance between the eye centres. Eyes and mouth corners are the person's own:
// "right_eye" is on the image's left in a frontal photo.
//
// Build: model_tools/landmark_reference.sh (dlib, and rapidjson for the labels).
#include <dlib/image_io.h>
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Box {
    double x1, y1, x2, y2;  // x2, y2 exclusive
};

double Iou(const Box& a, const Box& b) {
    double w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
    double h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
    if (w <= 0 || h <= 0) return 0;
    double inter = w * h;
    return inter / ((a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter);
}

// dlib's rectangles include their right and bottom pixel.
Box FromRect(const dlib::rectangle& r) {
    return {double(r.left()), double(r.top()), r.right() + 1.0, r.bottom() + 1.0};
}

// As measure_calibration.py matches detections to hand boxes; a detection of this face
// overlaps its box by 0.5 to 0.9 on these photos.
constexpr double kMatchIou = 0.4;

// The detector's window is 80 px; smaller faces need the image doubled until they reach it.
int Upsamplings(const std::vector<Box>& faces) {
    double smallest = 1e9;
    for (const Box& f : faces) smallest = std::min(smallest, std::min(f.x2 - f.x1, f.y2 - f.y1));
    int n = 0;
    while (n < 3 && smallest * (1 << n) < 80) ++n;
    return n;
}

// When the detector misses a face, the predictor starts from the hand box made square. On
// the faces it does find, its rectangle has the hand box's size and centre in the median
// (within 2% of the side, the centre 7% higher), while single faces differ by up to 20%:
// no correction of the hand box would be better than that spread.
dlib::rectangle LabelRect(const Box& f) {
    double half = 0.25 * ((f.x2 - f.x1) + (f.y2 - f.y1));
    double cx = 0.5 * (f.x1 + f.x2), cy = 0.5 * (f.y1 + f.y2);
    return dlib::rectangle(std::lround(cx - half), std::lround(cy - half),
                           std::lround(cx + half) - 1, std::lround(cy + half) - 1);
}

dlib::dpoint Mean(const dlib::full_object_detection& s, unsigned from, unsigned to) {
    dlib::dpoint sum(0, 0);
    for (unsigned i = from; i <= to; ++i) sum += dlib::dpoint(s.part(i));
    return sum / double(to - from + 1);
}

std::string Point(const dlib::dpoint& p) {
    char text[64];
    std::snprintf(text, sizeof text, "[%.2f, %.2f]", p.x(), p.y());
    return text;
}

std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string FaceJson(const dlib::full_object_detection& s, const char* source) {
    // 0-based indices of the 68-point layout: 36-41 and 42-47 outline the eyes (image left
    // first), 30 is the nose tip, 48 and 54 the mouth corners.
    dlib::dpoint right_eye = Mean(s, 36, 41), left_eye = Mean(s, 42, 47);
    dlib::dpoint right_mouth = s.part(48), left_mouth = s.part(54);
    const dlib::rectangle& r = s.get_rect();
    char box[96];
    std::snprintf(box, sizeof box, "[%ld, %ld, %ld, %ld]", r.left(), r.top(), r.right() + 1,
                  r.bottom() + 1);
    char interocular[32];
    std::snprintf(interocular, sizeof interocular, "%.2f", dlib::length(left_eye - right_eye));
    return std::string("{\"rect\": \"") + source + "\", \"box\": " + box +
           ", \"right_eye\": " + Point(right_eye) + ", \"left_eye\": " + Point(left_eye) +
           ", \"nose_tip\": " + Point(s.part(30)) +
           ", \"right_mouth_corner\": " + Point(right_mouth) +
           ", \"left_mouth_corner\": " + Point(left_mouth) +
           ", \"mouth_centre\": " + Point((right_mouth + left_mouth) / 2.0) +
           ", \"interocular\": " + interocular + "}";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: " << argv[0] << " LABELS.json ROOT PREDICTOR.dat\n";
        return 2;
    }
    std::ifstream labels_file(argv[1]);
    rapidjson::IStreamWrapper labels_stream(labels_file);
    rapidjson::Document labels;
    labels.ParseStream(labels_stream);
    if (!labels_file.is_open() || labels.HasParseError() || !labels.IsObject() ||
        !labels.HasMember("images") || !labels["images"].IsArray()) {
        std::cerr << "cannot read the labels in " << argv[1] << "\n";
        return 1;
    }
    const std::string root = argv[2];
    dlib::shape_predictor predictor;
    try {
        dlib::deserialize(argv[3]) >> predictor;
    } catch (const std::exception& e) {
        std::cerr << "cannot load the shape predictor " << argv[3] << ": " << e.what() << "\n";
        return 1;
    }
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();

    std::cout << "{\"predictor\": " << Quoted(argv[3]) << ", \"images\": {";
    const char* image_sep = "\n";
    for (const auto& entry : labels["images"].GetArray()) {
        std::vector<Box> faces;
        for (const auto& f : entry["faces"].GetArray())
            faces.push_back(
                {f[0].GetDouble(), f[1].GetDouble(), f[2].GetDouble(), f[3].GetDouble()});
        if (faces.empty()) continue;
        const std::string path = entry["path"].GetString();

        dlib::array2d<dlib::rgb_pixel> image;
        try {
            dlib::load_image(image, root + path);
        } catch (const std::exception& e) {
            std::cerr << "cannot read " << root + path << ": " << e.what() << "\n";
            return 1;
        }

        int ups = Upsamplings(faces);
        dlib::array2d<dlib::rgb_pixel> big;
        dlib::assign_image(big, image);
        for (int i = 0; i < ups; ++i) dlib::pyramid_up(big);
        std::vector<dlib::rectangle> found = detector(big);
        dlib::pyramid_down<2> pyramid;
        for (auto& r : found) r = pyramid.rect_down(r, ups);

        std::cout << image_sep << "  " << Quoted(path) << ": [";
        image_sep = ",\n";
        const char* face_sep = "\n    ";
        for (const Box& face : faces) {
            std::cout << face_sep;
            face_sep = ",\n    ";
            const dlib::rectangle image_rect = dlib::get_rect(image);
            if (face.x2 <= face.x1 || face.y2 <= face.y1 ||
                Iou(face, FromRect(image_rect)) <= 0) {  // nothing of it in the image
                std::cout << "null";
                continue;
            }
            const dlib::rectangle* best = nullptr;
            double best_iou = kMatchIou;
            for (const auto& r : found) {
                double v = Iou(face, FromRect(r));
                if (v >= best_iou) best = &r, best_iou = v;
            }
            std::cout << FaceJson(predictor(image, best ? *best : LabelRect(face)),
                                  best ? "detector" : "label");
        }
        std::cout << "\n  ]";
    }
    std::cout << "\n}}\n";
    return 0;
}
