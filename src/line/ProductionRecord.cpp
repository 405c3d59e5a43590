#include "line/ProductionRecord.h"

#include <cctype>

#include "catalogue/BdAddr.h"
#include "line/PostgresRecord.h"
#include "line/SqliteRecord.h"

namespace nvds::line {

namespace {

// "postgresql://...", "postgres://..." or "host=... dbname=...": a server, not a file.
bool IsServerTarget(const std::string& target) {
    if (target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0) {
        return true;
    }
    size_t i = 0;
    while (i < target.size() && std::isspace(static_cast<unsigned char>(target[i]))) {
        ++i;
    }
    const size_t keyStart = i;
    while (i < target.size() &&
           (std::isalnum(static_cast<unsigned char>(target[i])) || target[i] == '_')) {
        ++i;
    }
    while (i < target.size() && std::isspace(static_cast<unsigned char>(target[i]))) {
        ++i;
    }
    return i > keyStart && i < target.size() && target[i] == '=';
}

}  // namespace

const char* RecordStateName(RecordState state) {
    switch (state) {
        case RECORD_RESERVED:
            return "reserved";
        case RECORD_VERIFIED:
            return "verified";
        case RECORD_FAILED:
            return "failed";
        case RECORD_ABANDONED:
            return "abandoned";
    }
    return "?";
}

uint64_t AddressValue(const std::string& text) {
    const BdAddrHalves halves = ReadBdAddr(text);
    return uint64_t(halves.upper) << 24 | halves.lower;
}

std::string AddressText(uint64_t address) {
    return FormatBdAddr(uint32_t(address >> 24), uint32_t(address & 0xFFFFFF));
}

std::unique_ptr<ProductionRecord> OpenProductionRecord(const std::string& target,
                                                       const AddressPool& pool,
                                                       std::string& error) {
    if (IsServerTarget(target)) {
        auto record = std::make_unique<PostgresRecord>();
        if (!record->OpenForAllocation(target, pool)) {
            error = record->LastError();
            return nullptr;
        }
        return record;
    }
    auto record = std::make_unique<SqliteRecord>();
    if (!record->OpenForAllocation(target, pool)) {
        error = record->LastError();
        return nullptr;
    }
    return record;
}

std::unique_ptr<ProductionRecord> OpenProductionRecordToRead(const std::string& target,
                                                             std::string& error) {
    if (IsServerTarget(target)) {
        auto record = std::make_unique<PostgresRecord>();
        if (!record->OpenToRead(target)) {
            error = record->LastError();
            return nullptr;
        }
        return record;
    }
    auto record = std::make_unique<SqliteRecord>();
    if (!record->OpenToRead(target)) {
        error = record->LastError();
        return nullptr;
    }
    return record;
}

}  // namespace nvds::line
