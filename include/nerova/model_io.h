// A model's named tensors, for hosts that pass inputs and outputs by name.
#ifndef NEROVA_INCLUDE_MODEL_IO_H_
#define NEROVA_INCLUDE_MODEL_IO_H_

#include <map>
#include <memory>
#include <string>

#include "nerova/face_detector_export.h"
#include "nerova/kernel.h"

namespace nerova {
namespace module {

// Copies share the tensors: the map is copied, not what its pointers point to.
class NEROVA_FACE_DETECTOR_EXPORT ModelIO {
  public:
    ModelIO() = default;
    ModelIO(const ModelIO&) = default;
    ModelIO& operator=(const ModelIO&) = default;
    virtual ~ModelIO();

    std::map<std::string, std::shared_ptr<Blob>> entries;
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_INCLUDE_MODEL_IO_H_
