#pragma once

#include <memory>

#include "link/UsbTransport.h"

namespace nvds {

/// The bridge transport both programs give the engine: the simulated bridge when
/// NVDS_USB_BACKEND=sim (its flash kept in the file NVDS_USB_SIM_FLASH when that is set), the
/// libusb bridge when the variable is unset or "libusb". Any other value gives a transport
/// without a device whose LastError() names the bad value.
std::unique_ptr<UsbTransport> CreateUsbTransport();

}  // namespace nvds
