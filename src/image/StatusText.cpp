#include "image/StatusText.h"

namespace nvds {

namespace {

constexpr const char* STATUS_TEXTS[STATUS_COUNT] = {
    "begin",
    "Connecting......",
    "Connected",
    "Disconnected",
    "end",
    "begin",
    "",
    "Please reset the target to establish a connection!",
    "Dump configuration data from target......",
    "Dump configuration data from target: success",
    "Dump configuration data from target: error",
    "Burn configuration data to target......",
    "Burn configuration data to target: success",
    "Burn configuration data to target: error",
    "Read configuration data from file......",
    "Read configuration data from file: success",
    "Read configuration data from file: error",
    "Save configuration data to file......",
    "Save configuration data to file: success",
    "Save configuration data to file: error",
    "end",
};

}  // namespace

const char* StatusText(int code) {
    return (code >= 0 && code < STATUS_COUNT) ? STATUS_TEXTS[code] : "";
}

int StatusPane(int code) {
    if (code >= STATUS_CONNECTING && code <= STATUS_DISCONNECTED) {
        return PANE_LINK;
    }
    if (code >= STATUS_CLEAR && code <= STATUS_SAVE_ERROR) {
        return PANE_OPERATION;
    }
    return 0;
}

}  // namespace nvds
