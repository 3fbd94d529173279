// Mat <-> tensor conversion and the enumeration mappings.
#include "wrap_opencv/cv_mat_converter.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "test_util.h"

namespace nerova {
namespace module {
namespace {

const char kFile[] = "module/wrap_opencv/cv_mat_converter";

TEST(CvMatConverterTest, DepthTableBothDirectionsShareMemory) {
    const std::pair<int, int> rows[] = {{CV_8U, 11}, {CV_8S, 2},  {CV_16U, 13},    {CV_16S, 12},
                                        {CV_32S, 3}, {CV_32F, 0}, {CV_64F, 65536}, {CV_16F, 65536}};
    for (const auto& row : rows) {
        EXPECT_EQ(CvMatConverter::ConvertToDataType(row.first), row.second) << row.first;
        if (row.second == 65536) continue;
        cv::Mat mat(480, 640, CV_MAKETYPE(row.first, 3));
        Blob blob;
        BlobDesc old;
        old.dims = {9, 9, 9, 9, 9};
        old.name = "input";
        blob.SetBlobDesc(old);
        ASSERT_EQ(CvMatConverter::ConvertToBlob(blob, mat).code(), NEROVA_OK);
        const BlobDesc desc = blob.GetBlobDesc();
        EXPECT_EQ(desc.device_type, DeviceUtils::GetDefaultCpuDeviceType());
        EXPECT_EQ(desc.data_type, row.second);
        EXPECT_EQ(desc.data_format, NEROVA_DATA_FORMAT_NHWC);
        EXPECT_EQ(desc.dims, (std::vector<int>{1, 480, 640, 3}));
        EXPECT_EQ(desc.name, "input");
        EXPECT_EQ(blob.GetHandle().base, mat.data);
        cv::Mat back;
        ASSERT_EQ(CvMatConverter::ConvertFromBlob(back, blob).code(), NEROVA_OK);
        EXPECT_EQ(back.data, mat.data);
        EXPECT_EQ(back.type(), mat.type());
        EXPECT_EQ(back.size(), mat.size());
    }
}

TEST(CvMatConverterTest, HeaderStartsAfterOffsetAndReleasesOldContent) {
    std::vector<float> memory(2 * 3 * 4 + 4, 0.0f);
    BlobDesc desc;
    desc.data_format = NEROVA_DATA_FORMAT_NHWC;
    desc.dims = {1, 2, 3, 4};
    Blob blob(desc, BlobHandle{memory.data(), 16});
    cv::Mat held(5, 5, CV_8U);
    cv::Mat mat = held;
    ASSERT_EQ(CvMatConverter::ConvertFromBlob(mat, blob).code(), NEROVA_OK);
    EXPECT_EQ(mat.type(), CV_32FC4);
    EXPECT_EQ(mat.size(), cv::Size(3, 2));
    EXPECT_EQ(mat.ptr<float>(), memory.data() + 4);
    EXPECT_EQ(mat.u, nullptr);  // a header, not an owner
    EXPECT_EQ(held.u->refcount, 1);
    mat.at<cv::Vec4f>(1, 2)[3] = 7.0f;
    EXPECT_EQ(memory.back(), 7.0f);
}

TEST(CvMatConverterTest, RefusalsLeaveOutputAndLogOneLine) {
    const char* to = "nerova::module::CvMatConverter::ConvertToBlob";
    const char* from = "nerova::module::CvMatConverter::ConvertFromBlob";
    for (int depth : {CV_64F, CV_16F}) {
        Blob blob;
        BlobDesc old;
        old.dims = {1, 2};
        blob.SetBlobDesc(old);
        cv::Mat mat(2, 2, CV_MAKETYPE(depth, 1));
        nerova_test::StderrCapture capture;
        const Status status = CvMatConverter::ConvertToBlob(blob, mat);
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(status.message(), "OK");
        EXPECT_EQ(blob.GetBlobDesc().dims, old.dims);
        EXPECT_EQ(blob.GetBlobDesc().data_format, old.data_format);
        EXPECT_EQ(blob.GetHandle().base, nullptr);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(nerova_test::IsLogLine(lines[0], kFile, to, 151, "RETURN_VALUE_ON_EQ!"));
    }
    struct Case {
        int format, device, type;
        std::vector<int> dims;
        bool null_data;
        int line;
        const char* message;
    };
    const char* desc_err = "blob desc is err!";
    const Case cases[] = {
        {0, 0, 0, {1, 2, 3, 4}, false, 176, desc_err},
        {1, 0, 0, {2, 2, 3, 4}, false, 176, desc_err},
        {1, 48, 0, {1, 2, 3, 4}, false, 182, desc_err},
        {1, NEROVA_DEVICE_OPENCL, 0, {1, 2, 3, 4}, false, 182, desc_err},
        {1, 16, NEROVA_DATA_TYPE_HALF, {1, 2, 3, 4}, false, 207, "blob data type not match!"},
        {1, 32, NEROVA_DATA_TYPE_INT64, {1, 2, 3, 4}, true, 207, "blob data type not match!"},
        {1, 0, 0, {1, 2, 3}, false, 176, desc_err},
        {1, 0, 0, {1, 0, 3, 1}, false, 176, desc_err},
        {1, 0, 0, {1, 2, 3, -1}, false, 176, desc_err},
        {1, 0, 0, {1, 2, 3, 4}, true, 190, "blob data is null!"},
    };
    std::vector<float> memory(64);
    for (const Case& c : cases) {
        BlobDesc desc;
        desc.data_format = static_cast<NerovaDataFormat>(c.format);
        desc.device_type = static_cast<NerovaDeviceType>(c.device);
        desc.data_type = static_cast<NerovaDataType>(c.type);
        desc.dims = c.dims;
        Blob blob(desc, BlobHandle{c.null_data ? nullptr : memory.data(), 0});
        cv::Mat before(3, 3, CV_8UC1, cv::Scalar(5));
        cv::Mat mat = before;
        nerova_test::StderrCapture capture;
        const Status status = CvMatConverter::ConvertFromBlob(mat, blob);
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL) << c.line;
        EXPECT_EQ(status.message(), "OK");
        EXPECT_EQ(mat.data, before.data);
        EXPECT_EQ(mat.type(), CV_8UC1);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(nerova_test::IsLogLine(lines[0], kFile, from, c.line, c.message)) << lines[0];
    }
}

TEST(CvMatConverterTest, EnumerationMappings) {
    const std::pair<int, int> borders[] = {
        {0, cv::BORDER_CONSTANT}, {1, cv::BORDER_REFLECT}, {2, -1}, {-1, -1}, {65536, -1}};
    for (const auto& row : borders)
        EXPECT_EQ(CvMatConverter::ConvertFromBorderType(NerovaBorderType(row.first)), row.second);
    const std::pair<int, int> interps[] = {
        {0, cv::INTER_NEAREST}, {1, cv::INTER_LINEAR}, {2, -1}, {5, -1}, {65536, -1}};
    for (const auto& row : interps)
        EXPECT_EQ(CvMatConverter::ConvertFromInterpType(NerovaInterpType(row.first)), row.second);
    const int colors[] = {8,  4,  1,  3, 90, 92, 98, 8,   4,   3,  1,
                          91, 93, 99, 7, 6,  11, 10, 106, 106, 106};
    for (int value = -1; value <= 22; ++value) {
        const int want = value >= 0 && value <= 20 ? colors[value] : -1;
        EXPECT_EQ(CvMatConverter::ConvertFromColorConversionType(NerovaColorConversionType(value)),
                  want)
            << value;
    }
    EXPECT_EQ(CvMatConverter::ConvertFromColorConversionType(NEROVA_COLOR_CONVERT_NONE), -1);
}

}  // namespace
}  // namespace module
}  // namespace nerova
