#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line/ProductionRecord.h"

namespace nvds::line {

/// The end of a burn the record did not take when it happened.
struct JournalEntry {
    int64_t attempt = 0;
    uint64_t address = 0;
    BurnEnd end;
};

/// A local file of burn outcomes waiting for the record: each is appended and synced before
/// the station goes on, and taken out once the record has it. One entry per line, tab
/// separated; a line cut short by a crash is skipped when read.
class OutcomeJournal {
public:
    /// `path` empty: DefaultJournalPath().
    explicit OutcomeJournal(std::string path);

    const std::string& Path() const { return m_strPath; }

    /// Appends `entry` and syncs the file (its folder is made first). False with `error`.
    bool Add(const JournalEntry& entry, std::string& error) const;

    /// Every entry in the file, oldest first; none when there is no file. False with `error`
    /// only when the file exists and cannot be read.
    bool Load(std::vector<JournalEntry>& entries, std::string& error) const;

    /// Replaces the file's entries with `entries` (the file is removed when there are none).
    bool Store(const std::vector<JournalEntry>& entries, std::string& error) const;

private:
    std::string m_strPath;
};

/// "$XDG_STATE_HOME/zb446x-nvds/line-journal" (an absolute XDG_STATE_HOME only), else
/// "~/.local/state/zb446x-nvds/line-journal"; with a record target, a journal of that record's
/// own ("line-journal-" and 16 hex digits of the target's SHA-256).
std::string DefaultJournalPath(const std::string& recordTarget = {});

/// One entry as a journal line (without the line end), and back; false for a damaged line.
std::string JournalLine(const JournalEntry& entry);
bool ParseJournalLine(const std::string& line, JournalEntry& entry);

}  // namespace nvds::line
