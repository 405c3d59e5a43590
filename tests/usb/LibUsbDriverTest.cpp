#include <cstring>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/usb/CyUsbTransport.h"
#include "link/usb/LibUsbDriver.h"
#include "link/usb/UsbTransferHeader.h"

namespace nvds {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::HasSubstr;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;

// Stands in for libusb. Devices and handles are tokens the mock never dereferences; transfers
// are plain structs so no library code looks inside them.
class MockLibUsb : public LibUsbApi {
public:
    MOCK_METHOD(int, Init, (libusb_context**), (override));
    MOCK_METHOD(void, Exit, (libusb_context*), (override));
    MOCK_METHOD(ssize_t, GetDeviceList, (libusb_context*, libusb_device***), (override));
    MOCK_METHOD(void, FreeDeviceList, (libusb_device**), (override));
    MOCK_METHOD(int, GetDeviceDescriptor, (libusb_device*, libusb_device_descriptor*), (override));
    MOCK_METHOD(int, GetBusNumber, (libusb_device*), (override));
    MOCK_METHOD(int, GetDeviceAddress, (libusb_device*), (override));
    MOCK_METHOD(int, GetDeviceSpeed, (libusb_device*), (override));
    MOCK_METHOD(int, Open, (libusb_device*, libusb_device_handle**), (override));
    MOCK_METHOD(void, Close, (libusb_device_handle*), (override));
    MOCK_METHOD(int, KernelDriverActive, (libusb_device_handle*, int), (override));
    MOCK_METHOD(int, DetachKernelDriver, (libusb_device_handle*, int), (override));
    MOCK_METHOD(int, ClaimInterface, (libusb_device_handle*, int), (override));
    MOCK_METHOD(int, ReleaseInterface, (libusb_device_handle*, int), (override));
    MOCK_METHOD(int, ControlTransfer,
                (libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char*,
                 uint16_t, unsigned int),
                (override));
    MOCK_METHOD(int, SubmitTransfer, (libusb_transfer*), (override));
    MOCK_METHOD(int, CancelTransfer, (libusb_transfer*), (override));
    MOCK_METHOD(int, HandleEventsTimeout, (libusb_context*, timeval*), (override));
    libusb_transfer* AllocTransfer() override { return new libusb_transfer{}; }
    void FreeTransfer(libusb_transfer* transfer) override { delete transfer; }
};

libusb_device* const BRIDGE = reinterpret_cast<libusb_device*>(0x1000);
libusb_device* const MOUSE = reinterpret_cast<libusb_device*>(0x2000);
libusb_device_handle* const HANDLE = reinterpret_cast<libusb_device_handle*>(0x3000);

// Ends a transfer as libusb does from inside its event handling.
void Finish(libusb_transfer* t, libusb_transfer_status status, int actual) {
    t->status = status;
    t->actual_length = actual;
    t->callback(t);
}

class LibUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        ON_CALL(*api, Init(_)).WillByDefault(Return(0));
        ON_CALL(*api, GetDeviceList(_, _)).WillByDefault(DoAll(SetArgPointee<1>(list), Return(2)));
        ON_CALL(*api, GetDeviceDescriptor(_, _))
            .WillByDefault(Invoke([](libusb_device* dev, libusb_device_descriptor* d) {
                d->idVendor = dev == BRIDGE ? 0x04B4 : 0x046D;
                d->idProduct = dev == BRIDGE ? 0x1004 : 0xC077;
                return 0;
            }));
        ON_CALL(*api, GetDeviceSpeed(_)).WillByDefault(Return(LIBUSB_SPEED_HIGH));
        ON_CALL(*api, Open(_, _)).WillByDefault(DoAll(SetArgPointee<1>(HANDLE), Return(0)));
        ON_CALL(*api, SubmitTransfer(_)).WillByDefault(Invoke([this](libusb_transfer* t) {
            transfers.push_back(t);
            return 0;
        }));
    }
    std::unique_ptr<LibUsbDriver> Driver() {
        return std::make_unique<LibUsbDriver>(api, std::vector<UsbId>{{0x04B4, 0x1004}});
    }
    std::shared_ptr<UsbIoRequest> Bulk(uint32_t code, uint8_t endpoint, std::vector<uint8_t> data) {
        UsbTransferHeader h;
        h.endpointAddress = endpoint;
        if (code == CYUSB_REQ_BULK_BUFFERED) {
            h.bufferOffset = USB_HEADER_SIZE;
            h.bufferLength = static_cast<uint32_t>(data.size());
        }
        std::vector<uint8_t> in(USB_HEADER_SIZE);
        h.Write(in.data());
        if (code == CYUSB_REQ_BULK_BUFFERED) {
            in.insert(in.end(), data.begin(), data.end());
            data = in;
        }
        return std::make_shared<UsbIoRequest>(code, in, data);
    }

    std::shared_ptr<NiceMock<MockLibUsb>> api = std::make_shared<NiceMock<MockLibUsb>>();
    libusb_device* list[3] = {MOUSE, BRIDGE, nullptr};
    std::vector<libusb_transfer*> transfers;
};

TEST_F(LibUsbTest, NoDeviceAndNoPermissionAreToldApart) {
    list[1] = nullptr;
    auto driver = Driver();
    EXPECT_EQ(driver->CountDevices(), 0);
    EXPECT_THAT(driver->LastError(), HasSubstr("No USB-to-SPI bridge is attached"));
    EXPECT_THAT(driver->LastError(), HasSubstr("04b4:1004"));

    list[1] = BRIDGE;
    EXPECT_CALL(*api, Open(BRIDGE, _)).WillRepeatedly(Return(LIBUSB_ERROR_ACCESS));
    auto shared = std::shared_ptr<CyUsbDriver>(Driver());
    CyUsbTransport usb(shared);
    uint8_t sync = 0x33;
    EXPECT_EQ(usb.UsbBulkOut(&sync, 1), 0);
    EXPECT_THAT(usb.LastError(), HasSubstr("No permission"));
    EXPECT_THAT(usb.LastError(), HasSubstr("udev"));

    // A malformed id list is a failure of its own, not an empty bus.
    std::vector<UsbId> ids;
    std::string error;
    EXPECT_FALSE(ParseBridgeIds("04b4:1004,cafe", ids, &error));
    EXPECT_THAT(error, HasSubstr("\"cafe\""));
    ASSERT_TRUE(ParseBridgeIds("04B4:1004,1d50:6018", ids, &error));
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[1].pid, 0x6018);
}

TEST_F(LibUsbTest, KernelDriverDetachedOnlyWhenBound) {
    for (int bound : {0, 1}) {
        EXPECT_CALL(*api, KernelDriverActive(HANDLE, 0)).WillOnce(Return(bound));
        EXPECT_CALL(*api, DetachKernelDriver(HANDLE, 0)).Times(bound);
        EXPECT_CALL(*api, ClaimInterface(HANDLE, 0)).WillOnce(Return(0));
        auto driver = Driver();
        EXPECT_NE(driver->Open(0), USB_INVALID_HANDLE);
        ::testing::Mock::VerifyAndClearExpectations(api.get());
    }
    EXPECT_CALL(*api, ClaimInterface(HANDLE, 0)).WillOnce(Return(LIBUSB_ERROR_BUSY));
    EXPECT_CALL(*api, Close(HANDLE));
    auto driver = Driver();
    EXPECT_EQ(driver->Open(0), USB_INVALID_HANDLE);
    EXPECT_THAT(driver->LastError(), HasSubstr("in use by another program"));
}

TEST_F(LibUsbTest, ControlRequestsMapToControlTransfersAndReopensUseTheCache) {
    EXPECT_CALL(*api, Open(BRIDGE, _)).Times(1);
    EXPECT_CALL(*api, ControlTransfer(HANDLE, 0x80, 6, 0x0100, 0, _, 18, 5000))
        .WillOnce(Invoke([](auto, auto, auto, auto, auto, unsigned char* data, uint16_t, auto) {
            std::memset(data, 0x12, 18);
            return 18;
        }));
    auto driver = Driver();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(driver->CountDevices(), 1);
        UsbHandle handle = driver->Open(0);
        ASSERT_NE(handle, USB_INVALID_HANDLE);
        std::vector<uint8_t> buffer(USB_HEADER_SIZE + 18);
        UsbTransferHeader::GetDescriptor(0x0100, 0, 18).Write(buffer.data());
        uint32_t returned = 0;
        ASSERT_TRUE(driver->Request(handle, CYUSB_REQ_CONTROL, buffer.data(),
                                    static_cast<uint32_t>(buffer.size()), returned));
        EXPECT_EQ(returned, USB_HEADER_SIZE + 18);
        EXPECT_EQ(buffer.back(), 0x12);
        uint8_t word[4] = {};
        ASSERT_TRUE(driver->Request(handle, CYUSB_REQ_DRIVER_VERSION, word, 4, returned));
        EXPECT_GE(word[0] | word[1] << 8 | word[2] << 16 | word[3] << 24, 0x01050500);
        ASSERT_TRUE(driver->Request(handle, CYUSB_REQ_BUS_SPEED, word, 4, returned));
        EXPECT_EQ(word[0], CYUSB_SPEED_HIGH);
        EXPECT_TRUE(driver->Close(handle));
        EXPECT_FALSE(driver->Request(handle, CYUSB_REQ_BUS_SPEED, word, 4, returned));
    }
}

TEST_F(LibUsbTest, BulkRequestsBecomeAsyncTransfersCancelledOnClose) {
    auto driver = Driver();
    UsbHandle handle = driver->Open(0);
    // A direct OUT on endpoint 0x01 completes inside the event handling.
    auto out = Bulk(CYUSB_REQ_BULK_DIRECT, 0x01, {0x71, 0x46, 0x04});
    ASSERT_EQ(driver->Submit(handle, out), USB_IO_PENDING);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0]->endpoint, 0x01);
    EXPECT_EQ(transfers[0]->type, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(transfers[0]->length, 3);
    EXPECT_EQ(transfers[0]->buffer[1], 0x46);
    EXPECT_CALL(*api, HandleEventsTimeout(_, _)).WillOnce(Invoke([&](auto, auto) {
        Finish(transfers[0], LIBUSB_TRANSFER_COMPLETED, 3);
        return 0;
    }));
    EXPECT_TRUE(driver->Wait(*out, std::chrono::milliseconds(100)));
    uint32_t bytes = 0;
    EXPECT_TRUE(out->Result(bytes));
    EXPECT_EQ(bytes, 3u);

    // A buffered IN on 0x81 that never answers: the wait runs out, and the close cancels it
    // for real; the request stays whole until the cancellation has come back.
    auto in = Bulk(CYUSB_REQ_BULK_BUFFERED, 0x81, std::vector<uint8_t>(263, 0));
    ASSERT_EQ(driver->Submit(handle, in), USB_IO_PENDING);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[1]->endpoint, 0x81);
    EXPECT_EQ(transfers[1]->length, 263);
    EXPECT_EQ(transfers[1]->buffer, in->Out().data() + USB_HEADER_SIZE);
    EXPECT_CALL(*api, HandleEventsTimeout(_, _)).WillRepeatedly(Return(0));
    EXPECT_FALSE(driver->Wait(*in, std::chrono::milliseconds(10)));
    EXPECT_CALL(*api, CancelTransfer(transfers[1])).WillOnce(Return(0));
    EXPECT_CALL(*api, HandleEventsTimeout(_, _)).WillOnce(Invoke([&](auto, auto) {
        Finish(transfers[1], LIBUSB_TRANSFER_CANCELLED, 0);
        return 0;
    }));
    EXPECT_TRUE(driver->Close(handle));
    EXPECT_TRUE(in->Done());
    EXPECT_FALSE(in->Result(bytes));
    EXPECT_NE(UsbTransferHeader::Read(in->Out().data()).usbdStatus, 0u);
}

TEST_F(LibUsbTest, AVanishedDeviceIsLookedForAgain) {
    EXPECT_CALL(*api, GetDeviceList(_, _)).Times(2);
    auto driver = Driver();
    UsbHandle handle = driver->Open(0);
    EXPECT_CALL(*api, SubmitTransfer(_)).WillOnce(Return(LIBUSB_ERROR_NO_DEVICE));
    auto out = Bulk(CYUSB_REQ_BULK_DIRECT, 0x01, {0x33});
    EXPECT_EQ(driver->Submit(handle, out), USB_IO_FAILED);
    EXPECT_TRUE(out->Done());
    driver->Close(handle);
    EXPECT_NE(driver->Open(0), USB_INVALID_HANDLE);
}

}  // namespace
}  // namespace nvds
