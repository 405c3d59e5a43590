#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/usb/CyUsbDriver.h"
#include "link/usb/UsbConfiguration.h"
#include "link/usb/UsbEndpoint.h"

namespace nvds {

/// Device interface class of the bridge driver, as its 16 bytes lie in memory.
constexpr std::array<uint8_t, 16> BRIDGE_INTERFACE_GUID{
    0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11, 0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};

constexpr const char* MSG_CLOSE_NOTIFICATION_FAILED =
    "Failed to close the handle notification handle.";
constexpr const char* MSG_CLOSE_HANDLE_FAILED = "Failed to close handle to driver.";

/// Raised by CloseDevice when the handle cannot be closed; what() is the fixed text.
class UsbCloseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The bridge as a device: opened through the driver, with its descriptors read and parsed
/// into configurations, interfaces and endpoints. Every transfer opens its own object.
class UsbBridgeDevice {
public:
    /// A closed object on `driver`; with `open` set it runs OpenDevice(0) at once.
    explicit UsbBridgeDevice(CyUsbDriver& driver, bool open = false);
    /// Releases the device; a close error is dropped here since nothing can handle it.
    ~UsbBridgeDevice();
    UsbBridgeDevice(const UsbBridgeDevice&) = delete;
    UsbBridgeDevice& operator=(const UsbBridgeDevice&) = delete;

    /// Number of bridge interfaces present.
    int CountDevices();
    /// Opens bridge `n`, reads all descriptors and the driver's values, selects the current
    /// interface and its endpoints. False when there is no such bridge, it cannot be opened, or
    /// no configuration with an interface was read.
    bool OpenDevice(int n);
    /// Closes the handle. Throws UsbCloseError when the driver refuses.
    void CloseDevice();
    /// CloseDevice, then drops every descriptor, configuration and endpoint reference.
    void ReleaseDevice();
    /// A synchronous driver request with the same buffer in and out. False at once when closed.
    bool DeviceRequest(uint32_t code, uint8_t* buffer, uint32_t length);
    bool IsOpen() const { return m_hDevice != USB_INVALID_HANDLE; }

    UsbHandle m_hDevice = USB_INVALID_HANDLE;
    bool m_bHandleNotification = false;  // no window in this system, so never registered
    int m_nDevNum = 0;

    std::array<uint8_t, 18> m_deviceDescriptor{};
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint8_t bMaxPacketSize0 = 0;
    uint8_t bNumConfigurations = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;

    uint16_t m_nLanguageId = 0;
    std::array<char16_t, 128> m_szManufacturer{};
    std::array<char16_t, 128> m_szProduct{};
    std::array<char16_t, 128> m_szSerialNumber{};

    uint32_t m_nDriverVersion = 0;
    uint32_t m_nVersionWord = 0;
    uint8_t m_nDeviceValue = 0;
    std::array<uint8_t, 256> m_textA{};
    std::array<uint8_t, 256> m_textB{};
    bool m_bHighSpeed = false;

    std::vector<std::vector<uint8_t>> m_configDescriptors;
    std::vector<UsbConfiguration> m_configs;
    std::unique_ptr<UsbEndpoint> m_pControlEndpoint;
    int m_nConfig = 0;
    int m_nAltSetting = 0;
    UsbInterface* m_pInterface = nullptr;
    UsbEndpoint* m_pIsocInEndpoint = nullptr;
    UsbEndpoint* m_pIsocOutEndpoint = nullptr;
    UsbEndpoint* m_pBulkInEndpoint = nullptr;
    UsbEndpoint* m_pBulkOutEndpoint = nullptr;
    UsbEndpoint* m_pInterruptInEndpoint = nullptr;
    UsbEndpoint* m_pInterruptOutEndpoint = nullptr;

    uint32_t m_nUsbdStatus = 0;
    uint32_t m_nNtStatus = 0;
    uint32_t m_nBytesReturned = 0;

private:
    bool GetDescriptor(uint16_t wValue, uint16_t wIndex, uint16_t wLength,
                       std::vector<uint8_t>& data);
    void ReadDeviceDescriptor();
    void ReadLanguage();
    void ReadString(uint8_t index, std::array<char16_t, 128>& text);
    void ReadDriverValues();
    void ReadConfigurations();
    void SelectInterface();

    CyUsbDriver& m_driver;
};

}  // namespace nvds
