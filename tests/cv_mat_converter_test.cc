// Mat <-> tensor conversion.
#include "wrap_opencv/cv_mat_converter.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "test_util.h"

namespace nerova {
namespace module {
namespace {

const char kFile[] = "module/wrap_opencv/cv_mat_converter";
const char kClass[] = "nerova::module::CvMatConverter::";
const int kNone = 65536;

TEST(CvMatConverterTest, DepthTableBothDirectionsShareMemory) {
    const std::pair<int, int> rows[] = {{CV_8U, 11}, {CV_8S, 2},  {CV_16U, 13},    {CV_16S, 12},
                                        {CV_32S, 3}, {CV_32F, 0}, {CV_64F, kNone}, {CV_16F, kNone}};
    for (const auto& row : rows) {
        EXPECT_EQ(CvMatConverter::ConvertToDataType(row.first), row.second) << row.first;
        if (row.second == kNone) continue;
        cv::Mat mat(480, 640, CV_MAKETYPE(row.first, 3)), held(5, 5, CV_8U), back = held;
        BlobDesc old;
        old.dims = {9, 9, 9, 9, 9};
        old.name = "input";
        Blob blob(old, BlobHandle{nullptr, 8});  // a stale offset that must be reset
        ASSERT_EQ(CvMatConverter::ConvertToBlob(blob, mat).code(), NEROVA_OK);
        BlobDesc desc = blob.GetBlobDesc();
        EXPECT_TRUE(desc.device_type == DeviceUtils::GetDefaultCpuDeviceType() &&
                    desc.data_type == row.second && desc.data_format == NEROVA_DATA_FORMAT_NHWC);
        EXPECT_TRUE(desc.dims == std::vector<int>({1, 480, 640, 3}) && desc.name == "input");
        EXPECT_TRUE(blob.GetHandle().base == mat.data && blob.GetHandle().bytes_offset == 0);
        // Back from the tensor of the rows after the first: the header starts after the
        // offset and the content back held before is released, not written into.
        BlobHandle rest{mat.data, mat.step[0]};
        blob.SetHandle(rest);
        desc.dims[1] = 479;
        blob.SetBlobDesc(desc);
        ASSERT_EQ(CvMatConverter::ConvertFromBlob(back, blob).code(), NEROVA_OK);
        EXPECT_TRUE(back.data == mat.ptr(1) && back.type() == mat.type() && back.u == nullptr);
        EXPECT_TRUE(back.size() == cv::Size(640, 479) && held.u->refcount == 1);
    }
}

TEST(CvMatConverterTest, RefusalsLeaveOutputAndLogOneLine) {
    struct Case {
        int depth;  // >= 0: ConvertToBlob of a mat of this depth; < 0: ConvertFromBlob
        int format, device, type;
        std::vector<int> dims;
        bool null_data;
        int line;
        const char* message;
    };
    const char *desc_err = "blob desc is err!", *type_err = "blob data type not match!";
    const Case cases[] = {
        {CV_64F, 0, 0, 0, {1, 2}, false, 151, "RETURN_VALUE_ON_EQ!"},
        {-1, 0, 0, 0, {1, 2, 3, 4}, false, 176, desc_err},
        {-1, 1, 0, 0, {2, 2, 3, 4}, false, 176, desc_err},
        {-1, 1, NEROVA_DEVICE_OPENCL, 0, {1, 2, 3, 4}, false, 182, desc_err},
        {-1, 1, 32, NEROVA_DATA_TYPE_INT64, {1, 2, 3, 4}, true, 207, type_err},
        {-1, 1, 0, 0, {1, 2, 3}, false, 176, desc_err},
        {-1, 1, 0, 0, {1, 0, 3, 1}, false, 176, desc_err},
        {-1, 1, 0, 0, {1, 2, 3, 4}, true, 190, "blob data is null!"},
    };
    std::vector<float> memory(64);
    for (const Case& c : cases) {
        BlobDesc desc;
        desc.data_format = NerovaDataFormat(c.format);
        desc.device_type = NerovaDeviceType(c.device);
        desc.data_type = NerovaDataType(c.type);
        desc.dims = c.dims;
        const bool to = c.depth >= 0;
        Blob blob(desc, BlobHandle{c.null_data || to ? nullptr : memory.data(), 0});
        const cv::Mat before(to ? 2 : 3, to ? 2 : 3, CV_MAKETYPE(to ? c.depth : CV_8U, 1));
        cv::Mat mat = before;
        nerova_test::StderrCapture capture;
        const Status status = to ? CvMatConverter::ConvertToBlob(blob, mat)
                                 : CvMatConverter::ConvertFromBlob(mat, blob);
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL) << c.line;
        EXPECT_EQ(status.message(), "OK");
        EXPECT_TRUE(mat.data == before.data && mat.type() == before.type()) << c.line;
        EXPECT_TRUE(blob.GetBlobDesc().dims == c.dims &&
                    blob.GetBlobDesc().data_format == c.format);
        EXPECT_EQ(blob.GetHandle().base, to || c.null_data ? nullptr : memory.data());
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string function =
            std::string(kClass) + (to ? "ConvertToBlob" : "ConvertFromBlob");
        EXPECT_TRUE(nerova_test::IsLogLine(lines[0], kFile, function, c.line, c.message))
            << lines[0];
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
