#ifndef NEROVA_TESTS_FAULT_FAKE_KERNEL_H_
#define NEROVA_TESTS_FAULT_FAKE_KERNEL_H_

#include <map>
#include <string>
#include <vector>

#include "nerova/kernel.h"

namespace nerova {

// What a call throws, once: nothing, cv::Exception, std::bad_alloc, std::runtime_error.
enum class FakeThrow { kNone, kCv, kBadAlloc, kOther };

// What the fake kernel does next; tests set it before each case.
struct FakeKernelControl {
    bool fail_init = false;
    int fail_create_instance = 0;  // number of CreateInstance calls that fail
    bool fail_set_input = false;
    bool fail_forward = false;
    bool fail_get_output = false;
    FakeThrow throw_in_init = FakeThrow::kNone;
    FakeThrow throw_in_forward = FakeThrow::kNone;
    std::map<std::string, std::vector<int>> input_shapes = {{"input", {1, 3, 16, 16}}};
    std::vector<int> output_dims = {1, 1, 10};
    std::vector<float> output_rows = {0, 0, 0, 0, 0.01f, 0.99f, 0.5f, 0.5f, 0.5f, 0.5f};
    size_t output_offset_floats = 0;
    bool record_calls = true;
    std::vector<std::string> calls;
    std::vector<NerovaDeviceType> instance_devices;
};

FakeKernelControl& FakeKernel();
// Appends to FakeKernel().calls unless recording is off.
void RecordCall(const char* name);

}  // namespace nerova

#endif  // NEROVA_TESTS_FAULT_FAKE_KERNEL_H_
