#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "common/TestFiles.h"
#include "image/ImageFile.h"

namespace nvds {
namespace {

// A path in a folder of the test program's own, removed when it ends.
std::string SamplePath(const std::string& name) {
    static const test::ScratchDir dir;
    return dir / name;
}

std::string WriteSample(const std::string& name, const std::string& bytes) {
    test::WriteText(SamplePath(name), bytes);
    return SamplePath(name);
}

// What each kind of file comes to when read over an image that already starts with "NVDS":
// the magic must come from the file, and a refused file must not change the image.
TEST(ImageFile, ReadsAtMostOneAreaAndOnlyFilesThatStartWithTheMagic) {
    const std::string fifo = SamplePath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* what;
        std::string path;
        ImageFileResult result;
        bool changesImage;
    };
    const std::string exact = "NVDS" + std::string(4092, 'x');
    const Case cases[] = {
        {"short image", WriteSample("short", "NVDS\x01\x06"), ImageFileResult::Ok, true},
        {"4096 bytes", WriteSample("exact", exact), ImageFileResult::Ok, true},
        {"4097 bytes", WriteSample("big", exact + "y"), ImageFileResult::TooBig, false},
        {"empty", WriteSample("empty", ""), ImageFileResult::NotImage, false},
        {"three magic bytes", WriteSample("cut", "NVD"), ImageFileResult::NotImage, false},
        {"text", WriteSample("text", "nvds text\n"), ImageFileResult::NotImage, true},
        {"erased", WriteSample("erased", std::string(4096, '\xFF')), ImageFileResult::NotImage,
         true},
        {"missing", SamplePath("missing"), ImageFileResult::OpenError, false},
        {"folder", ::testing::TempDir(), ImageFileResult::OpenError, false},
        {"FIFO without writer", fifo, ImageFileResult::OpenError, false},
    };
    for (const Case& c : cases) {
        NvdsImage image;
        image.fill(0xAB);
        std::copy_n("NVDS", 4, image.begin());
        const NvdsImage before = image;
        EXPECT_EQ(ReadImageFile(c.path, image), c.result) << c.what;
        EXPECT_EQ(image != before, c.changesImage) << c.what;
    }

    NvdsImage image;
    image.fill(0xAB);
    ASSERT_EQ(ReadImageFile(cases[0].path, image), ImageFileResult::Ok);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 6), "NVDS\x01\x06");
    EXPECT_EQ(image[6], 0xAB);  // beyond the file: what the image held
    ASSERT_EQ(ReadImageFile(cases[1].path, image), ImageFileResult::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), exact);
}

// "Open...": how each file ends and the one message it shows; a refused file leaves the table
// as it was.
TEST(ImageFile, OpenShowsOneMessageAndRefusesWithoutChange) {
    NvdsImage built = ErasedImage();
    std::copy_n("NVDS\x07\x06\x01\x00\x2A", 9, built.begin());
    struct Case {
        std::string path;
        ImageFileResult file;
        std::vector<std::string> messages;
        const char* value;
    };
    const Case cases[] = {
        {WriteSample("good", std::string(built.begin(), built.end())),
         ImageFileResult::Ok,
         {},
         "0x2A"},
        {WriteSample("text", "text"),
         ImageFileResult::NotImage,
         {"This file doesn't contain valid NVDS data! Please select valid file!"},
         "0x1"},
        {WriteSample("big", std::string(4097, 'N')),
         ImageFileResult::TooBig,
         {"This file is too big! Please select valid file!"},
         "0x1"},
        {SamplePath("missing"), ImageFileResult::OpenError, {"Open this file error!"}, "0x1"},
    };
    for (const Case& c : cases) {
        TagTable table;
        TagEntry& entry = table[7];
        entry.mark = TAG_ENTRY_MARK;
        entry.tag = 7;
        entry.def.coding = CODING_NUMBER;
        entry.def.length = 1;
        entry.def.max = 0xFF;
        entry.def.show = true;
        entry.valueText = "0x1";
        NvdsImage image = ErasedImage();
        const ImageCheck check = OpenImageFile(c.path, image, table);
        EXPECT_EQ(check.file, c.file) << c.path;
        EXPECT_EQ(check.result, c.file == ImageFileResult::Ok ? 1 : 0) << c.path;
        EXPECT_EQ(check.Messages(), c.messages) << c.path;
        EXPECT_EQ(table[7].valueText, c.value) << c.path;
    }
}

}  // namespace
}  // namespace nvds
