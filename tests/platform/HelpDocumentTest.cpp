#include "platform/HelpDocument.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/TestFiles.h"
#include "platform/AppFolder.h"
#include "platform/OpenDocument.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

const char* const kViewerMessage =
    "Can't open the help document! Please confirm the installation of PDF reader. ";

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A scratch install tree (inst/bin/app, inst/Documents) and a fake XDG setup whose PDF viewer
// is a script that records its arguments.
class HelpContents : public ::testing::Test {
protected:
    HelpContents() {
        fs::create_directories(root / "inst/bin/app");
        manual = root / "inst/Documents/ZB446x NVDS Configurator Manual.pdf";
        Write(manual, "%PDF-1.4\n");
        Write(root / "data/mime/globs2", "# comment\n50:application/pdf:*.pdf\n");
        Write(root / "config/mimeapps.list",
              "[Default Applications]\napplication/pdf=missing.desktop;fakeview.desktop;\n");
        Write(root / "viewer.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + Out() +
                                      ".tmp\"\nmv \"" + Out() + ".tmp\" \"" + Out() + "\"\n");
        fs::permissions(root / "viewer.sh", fs::perms::owner_all);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root / "none").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (root / "none").c_str(), 1);
        unsetenv("XDG_CURRENT_DESKTOP");
    }
    ~HelpContents() override { fs::current_path(oldCwd); }

    std::string Out() const { return (root / "args.txt").string(); }
    void SetExec(const std::string& exec) {
        Write(root / "data/applications/fakeview.desktop",
              "[Desktop Entry]\nName=Fake\nExec=" + exec + "\nType=Application\n");
    }
    std::string RecordedArgs() {
        for (int i = 0; i < 500 && !fs::exists(Out()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return test::ReadFile(Out());
    }

    test::ScratchDir scratch;
    const fs::path root = scratch.Path();
    const fs::path oldCwd = fs::current_path();
    fs::path manual;
    RecordingPrompter prompter;
};

TEST_F(HelpContents, FoundFromTheProgramFolderAndOpenedWithTheDefaultViewer) {
    SetExec(root.string() + "/viewer.sh --page 1 %U %i");
    fs::current_path(root / "inst/bin/app");
    EXPECT_TRUE(OpenHelpContents(prompter));
    EXPECT_TRUE(prompter.Texts().empty());
    EXPECT_EQ(RecordedArgs(), "--page\n1\n" + manual.string() + "\n");
    EXPECT_EQ(fs::current_path(), root / "inst/bin/app");
}

TEST_F(HelpContents, NotFoundFromAnotherFolder) {
    SetExec(root.string() + "/viewer.sh %f");
    fs::current_path(root / "inst");
    EXPECT_FALSE(OpenHelpContents(prompter));
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Can't find help document!"});
    EXPECT_EQ(fs::current_path(), root / "inst");
}

TEST_F(HelpContents, ViewerWithoutFileArgumentOrMissingIsRefused) {
    fs::current_path(root / "inst/bin/app");
    SetExec(root.string() + "/viewer.sh --no-file");
    std::string command;
    EXPECT_TRUE(GetOpenCommand(".PDF", command));
    EXPECT_EQ(command.find("%1"), std::string::npos);
    EXPECT_FALSE(OpenHelpContents(prompter));

    SetExec(root.string() + "/no-such-viewer %f");
    EXPECT_FALSE(OpenHelpContents(prompter));
    fs::remove(root / "data/mime/globs2");
    EXPECT_FALSE(OpenHelpContents(prompter));
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>(3, kViewerMessage));
    EXPECT_EQ(fs::current_path(), root / "inst/bin/app");
    EXPECT_FALSE(fs::exists(Out()));
}

#ifdef NVDS_BUILD_RENDERS_MANUAL
// The build tree is laid out like an installation: started in bin/app (as the demo starts it),
// the program finds the manual the build rendered into Documents beside bin.
TEST_F(HelpContents, TheBuildTreesProgramFolderFindsTheRenderedManual) {
    SetExec(root.string() + "/viewer.sh %f");
    const fs::path bin = GetAppFolder();
    fs::current_path(bin / "app");
    EXPECT_TRUE(OpenHelpContents(prompter));
    EXPECT_TRUE(prompter.Texts().empty());
    EXPECT_EQ(
        RecordedArgs(),
        (fs::canonical(bin / "..") / "Documents/ZB446x NVDS Configurator Manual.pdf").string() +
            "\n");
    // The program itself is reachable from there, and finds its databases beside its target.
    EXPECT_EQ(fs::read_symlink(bin / "app/nvds-configurator"), "../nvds-configurator");
}
#endif

}  // namespace
}  // namespace nvds
