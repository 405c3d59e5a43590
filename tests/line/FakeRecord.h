#pragma once

// A production record in memory with the history interface, for the line's tests: addresses
// from a pool stepping up, one history row per ended attempt, and a switch that makes every
// call fail as a record whose server went away does.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "line/ProductionRecord.h"

namespace nvds::test {

class FakeRecord : public line::ProductionRecord {
public:
    static constexpr const char* TEXT_DOWN = "record: server closed the connection";

    explicit FakeRecord(uint64_t first, uint64_t last = 0xFFFFFFFFFFFF)
        : m_first(first), m_last(last) {}

    /// While down every call fails with TEXT_DOWN.
    std::atomic<bool> down{false};
    /// Calls of ReserveNext and ReserveAddress that reached the record while it was down.
    std::atomic<int> reservesWhileDown{0};

    struct Attempt {
        uint64_t address = 0;
        line::BurnContext context;
        bool ended = false;
    };

    std::vector<line::HistoryRow> HistoryRows() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_history;
    }
    std::map<int64_t, Attempt> Attempts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_attempts;
    }
    /// Records `address` as verified by an earlier run.
    void AddVerified(uint64_t address) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state[address] = line::RECORD_VERIFIED;
    }
    /// An attempt reserved by a run that was killed.
    int64_t AddReserved(uint64_t address) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state[address] = line::RECORD_RESERVED;
        m_attempts[++m_nAttempt] = Attempt{address, {}, false};
        return m_nAttempt;
    }

    bool ReserveNext(const line::BurnContext& context, uint64_t& address,
                     int64_t& attempt) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Down()) {
            ++reservesWhileDown;
            return false;
        }
        for (auto& [candidate, state] : m_state) {
            if (state == line::RECORD_FAILED && m_reusable[candidate]) {
                return Take(candidate, context, address, attempt);
            }
        }
        for (uint64_t candidate = m_first; candidate <= m_last; ++candidate) {
            if (m_state.count(candidate) == 0) {
                return Take(candidate, context, address, attempt);
            }
        }
        return Fail("address range exhausted: every address from " + line::AddressText(m_first) +
                    " to " + line::AddressText(m_last) + " has been handed out");
    }

    bool ReserveAddress(uint64_t address, const line::BurnContext& context,
                        int64_t& attempt) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Down()) {
            ++reservesWhileDown;
            return false;
        }
        uint64_t taken = 0;
        return Take(address, context, taken, attempt);
    }

    bool EndBurn(int64_t attempt, const line::BurnEnd& end) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Down()) {
            return false;
        }
        auto it = m_attempts.find(attempt);
        if (it == m_attempts.end()) {
            return Fail("no attempt " + std::to_string(attempt));
        }
        if (it->second.ended) {
            return true;
        }
        it->second.ended = true;
        line::HistoryRow row;
        row.id = static_cast<int64_t>(m_history.size()) + 1;
        row.attempt = attempt;
        row.address = it->second.address;
        row.outcome = end.outcome;
        row.reusable = end.reusable;
        row.context = it->second.context;
        row.imageSha256 = end.imageSha256;
        row.reason = end.reason;
        row.seconds = end.seconds;
        m_history.push_back(row);
        m_state[row.address] = end.outcome;
        m_reusable[row.address] = end.outcome == line::RECORD_FAILED && end.reusable;
        return true;
    }

    bool Lookup(uint64_t address, line::AddressInfo& info) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Down()) {
            return false;
        }
        info = {};
        auto it = m_state.find(address);
        if (it != m_state.end()) {
            info.known = true;
            info.state = it->second;
            info.reusable = m_reusable[address];
        }
        return true;
    }

    const std::string& LastError() const override { return m_strError; }

private:
    bool Down() {
        if (down) {
            m_strError = TEXT_DOWN;
        }
        return down;
    }
    bool Fail(const std::string& text) {
        m_strError = text;
        return false;
    }
    bool Take(uint64_t candidate, const line::BurnContext& context, uint64_t& address,
              int64_t& attempt) {
        m_state[candidate] = line::RECORD_RESERVED;
        m_reusable[candidate] = false;
        m_attempts[++m_nAttempt] = Attempt{candidate, context, false};
        address = candidate;
        attempt = m_nAttempt;
        return true;
    }

    std::mutex m_mutex;
    uint64_t m_first;
    uint64_t m_last;
    std::map<uint64_t, line::RecordState> m_state;
    std::map<uint64_t, bool> m_reusable;
    std::map<int64_t, Attempt> m_attempts;
    std::vector<line::HistoryRow> m_history;
    int64_t m_nAttempt = 0;
    std::string m_strError;
};

}  // namespace nvds::test
