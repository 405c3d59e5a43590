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

/// The result of a link operation: what failed and why. Each front end shows it its own way:
/// the window a message box with `message`, the command-line tool a stderr line, the line a
/// station event.
struct LinkOutcome {
    LinkCode code = LinkCode::Ok;
    /// The fixed text that tells the user ("Open COM port failed!"); empty when there is none.
    std::string message;
    /// One line on why ("page 3 of 16: no answer in time"); empty when nothing is known.
    std::string cause;

    bool Ok() const { return code == LinkCode::Ok; }
    explicit operator bool() const { return Ok(); }
};

}  // namespace nvds
