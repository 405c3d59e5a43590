#include "link/LinkTexts.h"

#include "link/ProgstarDlg.h"

namespace nvds {

const char* FaultText(LinkFault fault) {
    switch (fault) {
        case LinkFault::Timeout:
            return "no answer in time";
        case LinkFault::BadCrc:
            return "answer with a bad CRC";
        case LinkFault::HangUp:
            return "the line hung up";
        case LinkFault::Cancelled:
            return "stopped by the user";
        case LinkFault::WriteFailed:
            return "the frame could not be sent";
        case LinkFault::None:
            break;
    }
    return nullptr;
}

}  // namespace nvds
