// One face as the tool handles it: the library's detail record, copied out of its block.
#ifndef NEROVA_APPS_FACE_H_
#define NEROVA_APPS_FACE_H_

#include <string>
#include <vector>

#include "nerova_face_detector.h"

namespace nerova_tool {

struct Face {
    NerovaFaceInfo info;        // the integer box every host prints
    NerovaFaceDetail detail;    // the same box in floats; landmarks point into points
    std::vector<float> points;  // x, y per landmark, frame pixels
    std::string crop;           // the aligned crop written for it, if any
    uint32_t track = 0;         // in a video, the face's track id (0: none)
};

}  // namespace nerova_tool

#endif  // NEROVA_APPS_FACE_H_
