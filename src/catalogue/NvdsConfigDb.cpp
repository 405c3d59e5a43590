#include "catalogue/NvdsConfig.h"

namespace nvds {

int CNvdsConfig::LoadTagDb(const std::string&, TagTable&) {
    return 0;
}
int CNvdsConfig::ParseTagDb(TagDbKind, _xmlNode*, TagTable&) {
    return 0;
}
int CNvdsConfig::ParseTagElement(TagDbKind, _xmlNode*, TagTable&) {
    return 0;
}
int CNvdsConfig::SaveUserTagDb(const std::string&, const TagTable&, Prompter&) {
    return 0;
}

}  // namespace nvds
