#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "line/ProcessOwner.h"

namespace nvds::line {

/// A value bound to a statement or read from a row: NULL, an integer, a real or a text.
using SqlValue = std::variant<std::monostate, int64_t, double, std::string>;

/// What a statement returned: its rows, and how many rows it inserted, updated or deleted.
struct SqlRows {
    std::vector<std::vector<SqlValue>> rows;
    int64_t changed = 0;

    size_t Size() const { return rows.size(); }
    bool IsNull(size_t row, size_t column) const {
        return std::holds_alternative<std::monostate>(rows[row][column]);
    }
    /// The value as an integer, a real or a text, whatever type the back end gave it.
    int64_t Int(size_t row, size_t column) const;
    double Real(size_t row, size_t column) const;
    std::string Text(size_t row, size_t column) const;
};

/// The little a back end supplies to the production record: transactions, statements with
/// `?` parameters bound in order, and the few things SQL itself does not say the same way
/// everywhere (generated ids, append-only tables, how to tell that a run's process is gone).
class SqlSession {
public:
    virtual ~SqlSession() = default;

    /// Starts a transaction that holds the back end's allocation lock until it ends, so that
    /// no other process reads the record between our read and our write.
    virtual bool BeginWrite() = 0;
    /// Starts a transaction that reads one consistent state.
    virtual bool BeginRead() = 0;
    /// Commits; false (the change may or may not be on the disk) when no answer came.
    virtual bool Commit() = 0;
    virtual void Rollback() = 0;

    /// Runs `sql`, whose `?` are bound to `params` in order; the rows and the count changed.
    virtual bool Run(const std::string& sql, const std::vector<SqlValue>& params,
                     SqlRows& rows) = 0;

    /// A query whose rows are the names of the tables the database holds (in the
    /// connection's default schema).
    virtual const char* TableNamesSql() const = 0;
    /// The column type of an id that the back end generates on insert.
    virtual const char* IdColumnType() const = 0;
    /// The statements that make `table` refuse every UPDATE and DELETE.
    virtual std::vector<std::string> AppendOnlySql(const std::string& table) const = 0;

    /// A text naming this connection, kept with a run so that RunAlive can tell later
    /// whether the run's process still holds it; empty when the process alone tells.
    virtual bool SessionKey(std::string& key) = 0;
    /// Whether the run opened by `owner` in the session `key` is still alive; a run whose
    /// state cannot be known (another host's process) counts as alive.
    virtual bool RunAlive(const ProcessOwner& owner, const std::string& key, bool& alive) = 0;
    /// True once after the session has connected again since the last call.
    virtual bool TakeReconnected() { return false; }

    /// The last failure, a whole sentence naming the record.
    virtual const std::string& Error() const = 0;
    /// How messages name the record: the file, or the database and its server.
    virtual const std::string& Name() const = 0;
    /// "production record FILE" or "production record (database ...)", for messages.
    virtual std::string Label() const = 0;
};

}  // namespace nvds::line
