#pragma once

#include <libusb-1.0/libusb.h>

namespace nvds {

/// The libusb-1.0 functions the bridge backend uses, behind one seam so tests can stand in
/// for the library and reach its failure paths. Each method calls the function of that name.
class LibUsbApi {
public:
    virtual ~LibUsbApi() = default;
    virtual int Init(libusb_context** ctx) { return libusb_init(ctx); }
    virtual void Exit(libusb_context* ctx) { libusb_exit(ctx); }
    virtual ssize_t GetDeviceList(libusb_context* ctx, libusb_device*** list) {
        return libusb_get_device_list(ctx, list);
    }
    virtual void FreeDeviceList(libusb_device** list) { libusb_free_device_list(list, 1); }
    virtual int GetDeviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc) {
        return libusb_get_device_descriptor(dev, desc);
    }
    virtual int GetBusNumber(libusb_device* dev) { return libusb_get_bus_number(dev); }
    virtual int GetDeviceAddress(libusb_device* dev) { return libusb_get_device_address(dev); }
    virtual int GetDeviceSpeed(libusb_device* dev) { return libusb_get_device_speed(dev); }
    virtual int Open(libusb_device* dev, libusb_device_handle** handle) {
        return libusb_open(dev, handle);
    }
    virtual void Close(libusb_device_handle* handle) { libusb_close(handle); }
    virtual int KernelDriverActive(libusb_device_handle* handle, int itf) {
        return libusb_kernel_driver_active(handle, itf);
    }
    virtual int DetachKernelDriver(libusb_device_handle* handle, int itf) {
        return libusb_detach_kernel_driver(handle, itf);
    }
    virtual int ClaimInterface(libusb_device_handle* handle, int itf) {
        return libusb_claim_interface(handle, itf);
    }
    virtual int ReleaseInterface(libusb_device_handle* handle, int itf) {
        return libusb_release_interface(handle, itf);
    }
    virtual int ControlTransfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                uint16_t value, uint16_t index, unsigned char* data,
                                uint16_t length, unsigned int timeoutMs) {
        return libusb_control_transfer(handle, requestType, request, value, index, data, length,
                                       timeoutMs);
    }
    virtual libusb_transfer* AllocTransfer() { return libusb_alloc_transfer(0); }
    virtual void FreeTransfer(libusb_transfer* transfer) { libusb_free_transfer(transfer); }
    virtual int SubmitTransfer(libusb_transfer* transfer) {
        return libusb_submit_transfer(transfer);
    }
    virtual int CancelTransfer(libusb_transfer* transfer) {
        return libusb_cancel_transfer(transfer);
    }
    virtual int HandleEventsTimeout(libusb_context* ctx, timeval* tv) {
        return libusb_handle_events_timeout(ctx, tv);
    }
};

}  // namespace nvds
