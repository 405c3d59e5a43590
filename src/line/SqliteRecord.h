#pragma once

#include <functional>
#include <string>

#include "line/ProcessOwner.h"
#include "line/ProductionRecord.h"

struct sqlite3;

namespace nvds::line {

/// Moments inside the record's write transactions where a test may step in (to kill the
/// process there and prove the record stays whole).
enum RecordHookPoint : int {
    HOOK_RESERVE_BEFORE_COMMIT = 0,
    HOOK_VERIFY_BEFORE_COMMIT = 1,
};

/// The production record in an SQLite file: WAL journal, synchronous=FULL, every change one
/// transaction under the database's write lock.
class SqliteRecord : public ProductionRecord {
public:
    SqliteRecord() = default;
    ~SqliteRecord() override;
    SqliteRecord(const SqliteRecord&) = delete;
    SqliteRecord& operator=(const SqliteRecord&) = delete;

    /// Opens or creates the file, registers this process as an owner of reservations and
    /// abandons the reservations of dead processes of this host.
    bool OpenForAllocation(const std::string& path, const AddressPool& pool);

    /// Opens an existing record for reading only.
    bool OpenToRead(const std::string& path);

    /// Calls `hook` at the given points of the write transactions (tests only).
    void SetHook(std::function<void(RecordHookPoint)> hook) { m_hook = std::move(hook); }

    bool Reserve(const Station& station, uint64_t& address) override;
    bool MarkVerified(uint64_t address, const std::string& imageSha256, double seconds) override;
    bool MarkFailed(uint64_t address, bool reusable) override;
    bool RecordBurn(uint64_t address, const Station& station, const std::string& imageSha256,
                    double seconds) override;
    bool StateOf(uint64_t address, RecordState& state) override;
    bool Rows(std::vector<RecordRow>& rows) override;
    bool Summary(RecordSummary& summary) override;
    const std::string& LastError() const override { return m_strError; }

private:
    bool OpenFile(const std::string& path, int flags);
    bool CheckSchema(bool createWhenEmpty);
    bool CreateSchema();
    bool RegisterOwner();
    bool AbandonDeadOwners();
    bool TakeReusable(const Station& station, uint64_t& address, bool& found);
    bool TakeNext(const Station& station, uint64_t& address);
    bool EndReservation(uint64_t address, const std::function<int(sqlite3*)>& update, bool verify);
    void Close();
    bool Exec(const char* sql);
    bool Fail(const std::string& text);
    bool SqlFail();

    sqlite3* m_db = nullptr;
    std::string m_path;
    std::string m_strError;
    AddressPool m_pool;
    uint64_t m_poolLow = 0;  // the pool's lowest and highest addresses
    uint64_t m_poolHigh = 0;
    int64_t m_ownerId = 0;  // 0: opened to read
    ProcessOwner m_owner;
    std::function<void(RecordHookPoint)> m_hook;
};

}  // namespace nvds::line
