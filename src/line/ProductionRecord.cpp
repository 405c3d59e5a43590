#include "line/ProductionRecord.h"

#include <sys/stat.h>

#include <cctype>
#include <ctime>

#include "line/PostgresRecord.h"
#include "line/RecordShared.h"
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

// SQLite would take an empty name or ":memory:" for a database that vanishes when it is
// closed, and a "file:" URI may name one too: every run would then hand out the same
// addresses. A record must be a plain path, so those forms are refused outright.
bool CheckRecordTarget(const std::string& target, std::string& error) {
    if (IsServerTarget(target)) {
        return true;
    }
    if (target.empty()) {
        error = "the production record is named by an empty text: give a file or a server";
        return false;
    }
    if (target == ":memory:" || target.rfind("file:", 0) == 0 ||
        target.find("mode=memory") != std::string::npos) {
        error = "the production record " + target +
                " would be a temporary database that is lost when the program ends: give a "
                "plain file path or a server";
        return false;
    }
    struct stat info {};
    if (stat(target.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            error = "the production record " + target + " is not a regular file";
            return false;
        }
        return true;
    }
    if (target.back() == '/') {
        error = "the production record " + target + " names a folder, not a file";
        return false;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "the production record " + target + " cannot be created: no folder " + folder;
        return false;
    }
    return true;
}

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

bool PoolBoundsOf(const AddressPool& pool, PoolBounds& bounds, std::string& error) {
    constexpr uint64_t LOWER_HALF_MASK = 0xFFFFFF;
    constexpr uint64_t ADDRESS_MASK = 0xFFFFFFFFFFFFull;
    const uint64_t upper = pool.first & ~LOWER_HALF_MASK;
    if (pool.first > ADDRESS_MASK || (pool.step != 1 && pool.step != -1)) {
        error = "address pool: the first address must have six pairs and the step be +1 or -1";
        return false;
    }
    bounds.low = pool.step > 0 ? pool.first : upper;
    bounds.high = pool.step > 0 ? upper | LOWER_HALF_MASK : pool.first;
    if (pool.last) {
        const bool sameUpper = (*pool.last & ~LOWER_HALF_MASK) == upper;
        const bool ahead = pool.step > 0 ? *pool.last >= pool.first : *pool.last <= pool.first;
        if (!sameUpper || !ahead) {
            error = "address pool: the last address " + AddressText(*pool.last) +
                    " cannot be reached from " + AddressText(pool.first) +
                    " by stepping the lower three pairs " + (pool.step > 0 ? "up" : "down");
            return false;
        }
        (pool.step > 0 ? bounds.high : bounds.low) = *pool.last;
    }
    return true;
}

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

RecordState RecordStateFromName(const std::string& name) {
    for (RecordState state : {RECORD_RESERVED, RECORD_VERIFIED, RECORD_FAILED, RECORD_ABANDONED}) {
        if (name == RecordStateName(state)) {
            return state;
        }
    }
    return RECORD_ABANDONED;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != 64) {
        return false;
    }
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string LowerHex(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace nvds::line
