#pragma once

#include <memory>

#include "link/UsbTransport.h"

namespace nvds {

/// A transport to a simulated bridge, its flash kept in the file NVDS_USB_SIM_FLASH when that
/// is set.
std::unique_ptr<UsbTransport> CreateSimUsbTransport();

/// Lets NVDS_USB_BACKEND=sim select the simulated bridge in this program.
void RegisterSimUsbBridge();

}  // namespace nvds
