#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "line/ProcessOwner.h"
#include "line/ProductionRecord.h"
#include "line/SqlSession.h"

namespace nvds::line {

/// Moments inside the record's write transactions where a test may step in (to kill the
/// process there and prove the record stays whole).
enum RecordHookPoint : int {
    HOOK_RESERVE_BEFORE_COMMIT = 0,
    HOOK_VERIFY_BEFORE_COMMIT = 1,
};

/// The production record's rules, written once over the SQL session a back end supplies:
/// an append-only history of burn attempts, the address table derived from it, the runs
/// (one per opening for allocation) and the allocation of the pool's next address. One caller
/// at a time: a line serialises its stations' calls.
class RecordStore : public ProductionRecord {
public:
    RecordStore() = default;
    ~RecordStore() override;
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    /// Calls `hook` at the given points of the write transactions (tests only).
    void SetHook(std::function<void(RecordHookPoint)> hook) { m_hook = std::move(hook); }

    bool ReserveNext(const BurnContext& context, uint64_t& address, int64_t& attempt) override;
    bool ReserveAddress(uint64_t address, const BurnContext& context, int64_t& attempt) override;
    bool EndBurn(int64_t attempt, const BurnEnd& end) override;
    bool Lookup(uint64_t address, AddressInfo& info) override;
    bool PeekNext(uint64_t& address, uint64_t& left) override;
    const std::vector<HistoryRow>& AbandonedAtOpen() const override { return m_abandoned; }
    bool History(const HistoryFilter& filter, std::vector<HistoryRow>& rows) override;
    bool Runs(const HistoryFilter& filter, std::vector<RunSummary>& runs) override;
    int64_t CurrentRun() const override { return m_run; }

    bool Addresses(std::vector<RecordRow>& rows) override;

    const std::string& LastError() const override { return m_error; }

protected:
    /// Takes `session`, which the back end has connected, for allocation from `pool`: creates
    /// or brings the tables up to date, registers this opening as a run and abandons the
    /// reservations of runs whose process is gone.
    bool Attach(std::unique_ptr<SqlSession> session, const AddressPool& pool);
    /// Takes `session` to read a record that must exist already; changes nothing.
    bool AttachToRead(std::unique_ptr<SqlSession> session);
    /// Whether the connected session holds a record this program can open (of the current
    /// schema or the one before it, which opening for allocation brings up to date); only reads.
    bool Identify(SqlSession& session);
    /// Abandons this run's open reservations and lets the session go.
    void Close();
    bool Fail(const std::string& text);

private:
    struct Attempt;

    enum class SchemaUse { READ, ALLOCATE };
    bool CheckSchema(SqlSession& session, SchemaUse use, bool& empty);
    bool CreateSchema();
    bool Migrate();
    bool RegisterRun();
    bool Rekey();
    bool SweepDeadRuns();
    bool AbandonRun(int64_t run, std::vector<HistoryRow>* abandoned);
    bool RunAlive(int64_t run, bool& alive);
    bool LoadAttempt(int64_t id, Attempt& attempt, bool& found);
    bool InsertHistory(const Attempt& attempt, RecordState outcome, const BurnEnd& end,
                       int64_t endedAt, HistoryRow* row);
    bool UpdateDerivedState(const Attempt& attempt, const BurnEnd& end, int64_t endedAt);
    bool FindReusable(uint64_t& address, bool& found);
    bool FindFresh(uint64_t& address, bool& found);
    bool NewAttempt(uint64_t address, const BurnContext& context, int64_t now, int64_t& id);
    bool HoldAddress(uint64_t address, const BurnContext& context, int64_t attempt, int64_t now,
                     const std::string& condition, int64_t& changed);
    bool InsertAddress(uint64_t address, const BurnContext& context, int64_t attempt, int64_t now);
    bool Sql(const std::string& sql, const std::vector<SqlValue>& params, SqlRows& rows);
    bool Sql(const std::string& sql, const std::vector<SqlValue>& params);
    bool Begin(bool write);
    bool Commit();
    bool Writable();
    std::string ExhaustedText() const;

    std::unique_ptr<SqlSession> m_session;
    std::string m_error;
    AddressPool m_pool;
    uint64_t m_poolLow = 0;  // the pool's lowest and highest addresses
    uint64_t m_poolHigh = 0;
    uint64_t m_freshFrom = 0;  // no address before it, in the step's direction, is fresh
    int64_t m_run = 0;         // 0: opened to read
    int64_t m_schemaVersion = 0;
    ProcessOwner m_owner;
    std::vector<HistoryRow> m_abandoned;
    std::function<void(RecordHookPoint)> m_hook;
};

}  // namespace nvds::line
