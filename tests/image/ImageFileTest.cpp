#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "image/ImageFile.h"

namespace nvds {
namespace {

std::string WriteSample(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + name + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(ImageFile, ReadsAtMostOneAreaOverTheOldBytes) {
    NvdsImage image;
    image.fill(0xAB);
    const std::string shortFile = WriteSample("short", "NVDS\x01\x06");
    ASSERT_EQ(ReadImageFile(shortFile, image), ImageFileResult::Ok);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 6), "NVDS\x01\x06");
    EXPECT_EQ(image[6], 0xAB);  // beyond the file: what the image held

    const std::string exact = WriteSample("exact", std::string(4096, 'x'));
    ASSERT_EQ(ReadImageFile(exact, image), ImageFileResult::Ok);
    EXPECT_EQ(image[4095], 'x');

    const NvdsImage before = image;
    const std::string big = WriteSample("big", std::string(4097, 'y'));
    EXPECT_EQ(ReadImageFile(big, image), ImageFileResult::TooBig);
    EXPECT_EQ(ReadImageFile(::testing::TempDir() + "missing.nvds", image),
              ImageFileResult::OpenError);
    EXPECT_EQ(ReadImageFile(::testing::TempDir(), image), ImageFileResult::OpenError);
    EXPECT_EQ(image, before);
    for (const std::string& path : {shortFile, exact, big}) {
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace nvds
