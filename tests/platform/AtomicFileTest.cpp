#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/AtomicFile.h"

namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/nvds-atomic-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir;
};

TEST_F(AtomicFileTest, ReplacesWholeFileAndLeavesNoTemporaries) {
    fs::path target = dir / "image.nvds";
    std::ofstream(target) << "old contents that are longer than the new ones";
    std::string data(4096, '\xFF');
    std::string error;
    ASSERT_TRUE(nvds::WriteFileAtomically(target, data.data(), data.size(), &error)) << error;
    EXPECT_EQ(Read(target), data);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(AtomicFileTest, NewFileGetsOrdinaryPermissionsAndExistingKeepsItsOwn) {
    fs::path fresh = dir / "fresh.bin";
    ASSERT_TRUE(nvds::WriteFileAtomically(fresh, "a", 1));
    mode_t mask = umask(0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    fs::path kept = dir / "kept.bin";
    std::ofstream(kept) << "x";
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    ASSERT_TRUE(nvds::WriteFileAtomically(kept, "yz", 2));
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(AtomicFileTest, FailureLeavesDestinationUntouchedAndSaysWhy) {
    // A missing folder: nothing can be created, the reason names the path.
    std::string error;
    fs::path missing = dir / "no-such-folder" / "out.nvds";
    EXPECT_FALSE(nvds::WriteFileAtomically(missing, "abc", 3, &error));
    EXPECT_NE(error.find(missing.string()), std::string::npos);

    // A destination that is a folder: the rename fails, the folder stays and no temporary is
    // left behind.
    fs::path folder = dir / "taken";
    fs::create_directory(folder);
    EXPECT_FALSE(nvds::WriteFileAtomically(folder, "abc", 3, &error));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

}  // namespace
