#pragma once

#include <functional>
#include <string>
#include <vector>

#include "line/ProcessOwner.h"
#include "line/ProductionRecord.h"
#include "line/SqliteRecord.h"

struct pg_conn;
struct pg_result;

namespace nvds::line {

/// The production record in a PostgreSQL database shared by the stations of several machines:
/// the same tables as the SQLite file, every change one transaction, allocations serialised
/// by a transaction-level advisory lock and backed by the UNIQUE address constraint.
class PostgresRecord : public ProductionRecord {
public:
    PostgresRecord() = default;
    ~PostgresRecord() override;
    PostgresRecord(const PostgresRecord&) = delete;
    PostgresRecord& operator=(const PostgresRecord&) = delete;

    /// Connects with the libpq connection string or URI `target`, creates the tables on first
    /// use, registers this process as an owner of reservations and abandons the reservations
    /// of owners whose server session is gone.
    bool OpenForAllocation(const std::string& target, const AddressPool& pool);

    /// Connects to an existing record to read it; creates and changes nothing.
    bool OpenToRead(const std::string& target);

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
    class Result;

    bool Connect(const std::string& target);
    bool CheckSchema(bool createWhenEmpty);
    bool RegisterOwner();
    bool AbandonDeadOwners();
    bool TakeReusable(const Station& station, uint64_t& address, bool& found);
    bool TakeNext(const Station& station, uint64_t& address);
    bool EndReservation(uint64_t address, const char* sql, const std::vector<std::string>& values,
                        bool verify);
    bool Run(Result& result, const char* sql, const std::vector<std::string>& values = {});
    bool Transact(const std::function<bool()>& body);
    void Close();
    bool Fail(const std::string& text);
    bool ServerFail(const pg_result* result);

    pg_conn* m_conn = nullptr;
    std::string m_server;  // "database D on server H:P", for messages
    std::string m_strError;
    AddressPool m_pool;
    uint64_t m_poolLow = 0;  // the pool's lowest and highest addresses
    uint64_t m_poolHigh = 0;
    int64_t m_ownerId = 0;  // 0: opened to read
    std::function<void(RecordHookPoint)> m_hook;
};

}  // namespace nvds::line
