#pragma once

#include <string>

namespace nvds {

/// The status bar panes: link state and progress of the last operation.
constexpr int PANE_LINK = 102;
constexpr int PANE_OPERATION = 103;

/// Index into the table of fixed status texts.
enum StatusCode : int {
    STATUS_BEGIN = 0,
    STATUS_CONNECTING = 1,
    STATUS_CONNECTED = 2,
    STATUS_DISCONNECTED = 3,
    STATUS_END = 4,
    STATUS_BEGIN2 = 5,
    STATUS_CLEAR = 6,
    STATUS_RESET_TARGET = 7,
    STATUS_DUMP_BUSY = 8,
    STATUS_DUMP_OK = 9,
    STATUS_DUMP_ERROR = 10,
    STATUS_BURN_BUSY = 11,
    STATUS_BURN_OK = 12,
    STATUS_BURN_ERROR = 13,
    STATUS_READ_BUSY = 14,
    STATUS_READ_OK = 15,
    STATUS_READ_ERROR = 16,
    STATUS_SAVE_BUSY = 17,
    STATUS_SAVE_OK = 18,
    STATUS_SAVE_ERROR = 19,
    STATUS_END2 = 20,
    STATUS_COUNT = 21,
};

/// The fixed text of a status code ("" outside the table).
const char* StatusText(int code);

/// The pane a code is shown in: PANE_LINK for 1..3, PANE_OPERATION for 6..19, 0 for none.
int StatusPane(int code);

}  // namespace nvds
