#include "nerova/model_io.h"

namespace nerova {
namespace module {

ModelIO::~ModelIO() = default;

}  // namespace module
}  // namespace nerova
