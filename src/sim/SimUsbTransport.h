#pragma once

#include <memory>
#include <string>

#include "link/UsbTransport.h"

namespace nvds {

/// A transport to a simulated bridge, its flash kept in the file `flashFile` when that is not
/// empty.
std::unique_ptr<UsbTransport> CreateSimUsbTransport(const std::string& flashFile = {});

}  // namespace nvds
