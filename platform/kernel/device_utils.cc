#include "nerova/kernel.h"

namespace nerova {

NerovaDeviceType DeviceUtils::GetDefaultCpuDeviceType() {
#if defined(__aarch64__) || defined(__arm__) || defined(_M_ARM64)
    return NEROVA_DEVICE_ARM;
#else
    return NEROVA_DEVICE_X86;
#endif
}

}  // namespace nerova
