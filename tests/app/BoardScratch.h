#pragma once

// What the board tests share: a scratch folder, a golden image built from the shipped
// catalogue's defaults, and the record's rows read back after a run.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "line/ProductionRecord.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"

namespace nvds::test {

// The catalogue the board reads, as installed beside the programs (the tests run in bin/).
inline constexpr const char* SYS_DB = "zbkey_db.xml";
inline constexpr const char* USER_DB = "userkey_db.xml";

class BoardScratch {
public:
    explicit BoardScratch(const std::string& tag) {
        m_dir = std::filesystem::temp_directory_path() /
                ("nvds_board_" + tag + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    ~BoardScratch() { std::filesystem::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    /// A golden image of the catalogue's defaults; its path.
    std::string Golden() const {
        RecordingPrompter prompter;
        CNvdsConfig config(prompter, SYS_DB, USER_DB);
        TagTable table{};
        EXPECT_EQ(config.LoadTagDb(SYS_DB, table), 1);
        config.LoadTagDb(USER_DB, table);
        NvdsImage image = ErasedImage();
        std::string invalid;
        EXPECT_EQ(BuildImage(table, image, invalid), 1) << invalid;
        std::string path = Path("golden.nvds");
        EXPECT_TRUE(WriteFileAtomically(path, image.data(), image.size()));
        return path;
    }

    /// Every row of the record at `target`, read as `nvds record` reads it.
    static std::vector<line::RecordRow> Rows(const std::string& target) {
        std::string error;
        std::unique_ptr<line::ProductionRecord> record =
            line::OpenProductionRecordToRead(target, error);
        std::vector<line::RecordRow> rows;
        EXPECT_TRUE(record) << error;
        if (record) {
            EXPECT_TRUE(record->Addresses(rows)) << record->LastError();
        }
        return rows;
    }

private:
    std::filesystem::path m_dir;
};

}  // namespace nvds::test
