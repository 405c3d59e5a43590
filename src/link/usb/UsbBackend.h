#pragma once

#include <memory>

#include "link/UsbTransport.h"

namespace nvds {

/// Makes a simulated bridge transport; programs that offer NVDS_USB_BACKEND=sim register one.
using UsbBackendFactory = std::unique_ptr<UsbTransport> (*)();

/// Registers the maker of the simulated bridge (call once at start-up, before any link is
/// made). Without it, NVDS_USB_BACKEND=sim gives a transport without a device.
void RegisterSimUsbBackend(UsbBackendFactory factory);

/// The bridge transport both programs give the engine: the libusb bridge when
/// NVDS_USB_BACKEND is unset or "libusb", the registered simulated bridge when it is "sim".
/// Any other value (or "sim" with nothing registered) gives a transport without a device whose
/// LastError() says why.
std::unique_ptr<UsbTransport> CreateUsbTransport();

}  // namespace nvds
