#pragma once

#include <string>

#include "link/LinkTexts.h"

namespace nvds {

/// What ended a link operation.
enum class LinkCode {
    Ok,
    Cancelled,     // Cancel() stopped it; nothing to show
    NotConnected,  // MSG_TARGET_DISCONNECT; nothing was sent
    OpenFailed,    // MSG_OPEN_FAILED; cause: the port's own error
    Overtime,      // MSG_CONNECT_OVERTIME; cause: what the attempts saw
    Failed,        // a transfer failed; cause: the page and the fault
};

/// The result of a link operation: what failed and why, for each front end to show its way
/// (a message box, a stderr line, a station event).
struct LinkOutcome {
    LinkCode code = LinkCode::Ok;
    std::string message;  // the fixed text ("Open COM port failed!"); empty when there is none
    std::string cause;    // one line on why ("page 3 of 16: no answer in time"), or empty

    bool Ok() const { return code == LinkCode::Ok; }
    explicit operator bool() const { return Ok(); }
};

}  // namespace nvds
