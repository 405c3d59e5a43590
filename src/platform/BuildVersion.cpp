#include "platform/BuildVersion.h"

namespace nvds {

const char* ProgramVersion() {
    return NVDS_VERSION;
}

std::string VersionLine(const std::string& program) {
    return program + " " + ProgramVersion() + " (revision " + BuildRevision() + ")";
}

}  // namespace nvds
