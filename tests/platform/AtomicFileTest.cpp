#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "platform/AtomicFile.h"

namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    static std::string Read(const fs::path& p) { return nvds::test::ReadFile(p); }

    nvds::test::ScratchDir scratch;
    const fs::path dir = scratch.Path();
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
    EXPECT_EQ(error, missing.string() + ": No such file or directory");

    // What exists and is no regular file is refused before anything is created beside it.
    fs::path folder = dir / "taken";
    fs::create_directory(folder);
    fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<fs::path> refused = {folder, fifo};
    for (const fs::path& path : refused) {
        EXPECT_FALSE(nvds::WriteFileAtomically(path, "abc", 3, &error)) << path;
        EXPECT_EQ(error, path.string() + ": not a regular file, refused");
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

// A link stays a link: the file it leads to is replaced, however the link spells the way.
TEST_F(AtomicFileTest, SymlinksAreFollowedAndTheirTargetReplaced) {
    fs::create_directory(dir / "real");
    fs::create_directory(dir / "links");
    std::ofstream(dir / "real" / "image.nvds") << "old";
    fs::create_symlink("../real/image.nvds", dir / "links" / "relative");
    fs::create_symlink(dir / "links" / "relative", dir / "links" / "chain");
    fs::create_symlink("../real/new.nvds", dir / "links" / "dangling");
    fs::create_symlink("links/relative", dir / "hop");  // the next hop is read from links/
    struct Case {
        const char* link;
        const char* target;
        const char* bytes;
    };
    const Case cases[] = {
        {"relative", "image.nvds", "one"},
        {"chain", "image.nvds", "two"},
        {"dangling", "new.nvds", "three"},
        {"../hop", "image.nvds", "four"},
    };
    for (const Case& c : cases) {
        std::string error;
        const fs::path link = dir / "links" / c.link;
        ASSERT_TRUE(nvds::WriteFileAtomically(link, c.bytes, std::strlen(c.bytes), &error))
            << error;
        EXPECT_TRUE(fs::is_symlink(link)) << c.link;
        EXPECT_EQ(Read(dir / "real" / c.target), c.bytes) << c.link;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "links"), fs::directory_iterator()), 3);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 2);
}

// The calls a write makes, as the seam sees them.
std::vector<std::string> g_calls;
std::map<int, std::string> g_openPaths;

int LoggedOpen(const char* path, int flags, mode_t mode) {
    const int fd = ::open(path, flags, mode);
    g_openPaths[fd] = path;
    g_calls.push_back(std::string("open ") + path);
    return fd;
}
ssize_t LoggedWrite(int fd, const void* data, size_t size) {
    g_calls.push_back("write " + g_openPaths[fd]);
    return ::write(fd, data, size);
}
int LoggedFsync(int fd) {
    g_calls.push_back("fsync " + g_openPaths[fd]);
    return ::fsync(fd);
}
int LoggedClose(int fd) {
    g_calls.push_back("close " + g_openPaths[fd]);
    return ::close(fd);
}
int LoggedRename(const char* from, const char* to) {
    g_calls.push_back(std::string("rename ") + from + " " + to);
    return ::rename(from, to);
}
int LoggedUnlink(const char* path) {
    g_calls.push_back(std::string("unlink ") + path);
    return ::unlink(path);
}

// The scratch file lies in the target's folder (so the rename never crosses file systems,
// even when the path given is a link in another folder), and the data and then the rename
// are synced, in that order.
TEST_F(AtomicFileTest, ScratchLiesBesideTheTargetAndIsSyncedBeforeTheRename) {
    fs::create_directory(dir / "real");
    fs::create_symlink(dir / "real" / "image.nvds", dir / "link");
    const nvds::FileCalls calls = {LoggedOpen,  LoggedWrite,  LoggedFsync,
                                   LoggedClose, LoggedRename, LoggedUnlink};
    g_calls.clear();
    std::string error;
    ASSERT_TRUE(nvds::WriteFileAtomically((dir / "link").string(), "abc", 3, &error, calls))
        << error;
    ASSERT_EQ(g_calls.size(), 8u);
    const std::string target = (dir / "real" / "image.nvds").string();
    const std::string scratch = g_calls[0].substr(5);
    EXPECT_EQ(fs::path(scratch).parent_path(), dir / "real");
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{
                  "open " + scratch, "write " + scratch, "fsync " + scratch, "close " + scratch,
                  "rename " + scratch + " " + target, "open " + (dir / "real").string(),
                  "fsync " + (dir / "real").string(), "close " + (dir / "real").string()}));
    EXPECT_EQ(Read(target), "abc");
}

}  // namespace
