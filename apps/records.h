// The JSON record line of one image or video frame, as every host prints it:
//   {"image": PATH, "frame": N, "time_ms": T, "width": W, "height": H,
//    "faces": [{"score": S, "box": [x1, y1, x2, y2]}, ...], "ms": T}
// ("frame" and "time_ms" for video frames, frame >= 0, only; then "cut": C when a shot began
// at frame C since the previous frame looked at, cut >= 0). A face of a model with
// landmarks adds "landmarks": [[x, y], ...] (two decimals), a face in a video its track id
// "track" (after "box"), and one with an aligned crop
// "crop": PATH. Scores have four decimals, "ms" two, "time_ms" up to three without trailing zeros;
// a value that is not finite is null. Strings are UTF-8 with quotes, backslashes and control
// characters escaped; a byte of a file name that is not part of well-formed UTF-8 is written as the
// lone surrogate \udc80 to \udcff (the byte plus 0xDC00), Python's os.fsencode convention.
#ifndef NEROVA_APPS_RECORDS_H_
#define NEROVA_APPS_RECORDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "face.h"

namespace nerova_tool {

std::string Record(const std::string& path, int frame, double time_ms, int width, int height,
                   const std::vector<Face>& faces, double ms, int64_t cut = -1);

std::string JsonString(const std::string& s);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_RECORDS_H_
