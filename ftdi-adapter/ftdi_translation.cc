#include "ftdi-adapter/ftdi_translation.h"

#include <climits>
#include <mutex>
#include <new>

namespace ftdi_adapter {
namespace {

// libftdi1's own error codes that need a status other than the default.
constexpr int kInitLibusbFailed = -3;     // ftdi_init: libusb_init() failed
constexpr int kFindOutOfMemory = -3;      // ftdi_usb_find_all: out of memory
constexpr int kBaudRateUnsupported = -1;  // ftdi_set_baudrate: rate out of reach
constexpr int kOpenResetFailed = -6;      // ftdi_usb_open_dev: the chip's reset
constexpr int kOpenBaudRateFailed = -7;   // ftdi_usb_open_dev: its first baud rate

// One opened device. The handle given out is this record's address; it is
// kept in a list so that any other value can be refused before it reaches
// libftdi1 as a context pointer.
struct OpenedDevice {
  ftdi_context context;
  OpenedDevice* next;
};

std::mutex g_opened_mutex;
OpenedDevice* g_opened_devices = nullptr;

void RememberDevice(OpenedDevice* device) {
  std::lock_guard<std::mutex> lock(g_opened_mutex);
  device->next = g_opened_devices;
  g_opened_devices = device;
}

ftdi_context* FindContext(DeviceHandle handle) {
  std::lock_guard<std::mutex> lock(g_opened_mutex);
  for (OpenedDevice* device = g_opened_devices; device != nullptr; device = device->next) {
    if (device == handle) return &device->context;
  }
  return nullptr;
}

DriverStatus StatusFromInit(int result) {
  // Without a USB subsystem that libusb can use, no device can be listed:
  // to the user that is "device not found", as on a machine with no board.
  return result == kInitLibusbFailed ? kDeviceNotFound : kInsufficientResources;
}

DriverStatus StatusFromFind(int result) {
  return result == kFindOutOfMemory ? kInsufficientResources : kIoError;
}

DriverStatus StatusFromOpen(int result) {
  // These two come after the device was claimed, when the chip itself did
  // not answer: that is an I/O error, not a device that cannot be opened.
  if (result == kOpenResetFailed || result == kOpenBaudRateFailed) return kIoError;
  // Every other failure (permissions, ftdi_sio or another program holding
  // the device) means "device not opened".
  return kDeviceNotOpened;
}

// libftdi1's open has reset the chip; bytes that an earlier run left queued
// in its buffers must not reach the pins either, so both are purged, as the
// vendor's driver does on open.
DriverStatus OpenAndPurge(const FtdiCalls& calls, ftdi_context* context,
                          libusb_device* usb_device) {
  const int open_result = calls.ftdi_usb_open_dev(context, usb_device);
  if (open_result != 0) return StatusFromOpen(open_result);
  return calls.ftdi_tcioflush(context) == 0 ? kDriverOk : kIoError;
}

libusb_device* FindListedDevice(ftdi_device_list* list, std::int32_t device_index) {
  for (std::int32_t i = 0; list != nullptr; ++i, list = list->next) {
    if (i == device_index) return list->dev;
  }
  return nullptr;
}

// Finds and opens the device on an initialised context.
DriverStatus OpenListedDevice(const FtdiCalls& calls, ftdi_context* context,
                              std::int32_t device_index) {
  ftdi_device_list* list = nullptr;
  const int found = calls.ftdi_usb_find_all(context, &list, 0, 0);
  DriverStatus status = kDeviceNotFound;
  libusb_device* usb_device = found < 0 ? nullptr : FindListedDevice(list, device_index);
  if (found < 0) {
    status = StatusFromFind(found);
  } else if (usb_device != nullptr) {
    status = OpenAndPurge(calls, context, usb_device);
  }
  // Freed whatever the outcome: a failed search may leave part of a list,
  // and an opened device holds its own reference.
  calls.ftdi_list_free(&list);
  return status;
}

}  // namespace

DriverStatus Open(const FtdiCalls& calls, std::int32_t device_index, DeviceHandle* handle) {
  if (handle == nullptr) return kInvalidParameter;
  if (device_index < 0) return kDeviceNotFound;
  OpenedDevice* device = new (std::nothrow) OpenedDevice{};
  if (device == nullptr) return kInsufficientResources;
  const int init_result = calls.ftdi_init(&device->context);
  DriverStatus status =
      init_result == 0 ? OpenListedDevice(calls, &device->context, device_index)
                       : StatusFromInit(init_result);
  if (status != kDriverOk) {
    // ftdi_deinit also undoes a partial ftdi_init.
    calls.ftdi_deinit(&device->context);
    delete device;
    return status;
  }
  RememberDevice(device);
  *handle = device;
  return kDriverOk;
}

DriverStatus SetBaudRate(const FtdiCalls& calls, DeviceHandle handle, std::uint32_t baud_rate) {
  ftdi_context* context = FindContext(handle);
  if (context == nullptr) return kInvalidHandle;
  if (baud_rate == 0 || baud_rate > INT_MAX) return kInvalidBaudRate;
  // libftdi1 multiplies the rate by 4 while a bit mode is on, so the divisor
  // would depend on the order of the calls. The flag is read there and
  // nowhere else in the call, so hiding it for the call sends the divisor
  // for the rate as given, as the vendor's driver does.
  const unsigned char bitbang_enabled = context->bitbang_enabled;
  context->bitbang_enabled = 0;
  const int result = calls.ftdi_set_baudrate(context, static_cast<int>(baud_rate));
  context->bitbang_enabled = bitbang_enabled;
  if (result == 0) return kDriverOk;
  return result == kBaudRateUnsupported ? kInvalidBaudRate : kIoError;
}

DriverStatus SetBitMode(const FtdiCalls& calls, DeviceHandle handle, std::uint8_t pin_mask,
                        std::uint8_t mode) {
  ftdi_context* context = FindContext(handle);
  if (context == nullptr) return kInvalidHandle;
  return calls.ftdi_set_bitmode(context, pin_mask, mode) == 0 ? kDriverOk : kIoError;
}

DriverStatus Write(const FtdiCalls& calls, DeviceHandle handle, const void* data,
                   std::uint32_t byte_count, std::uint32_t* bytes_written) {
  ftdi_context* context = FindContext(handle);
  if (context == nullptr) return kInvalidHandle;
  if (bytes_written != nullptr) *bytes_written = 0;
  if (data == nullptr && byte_count != 0) return kInvalidParameter;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t done = 0;
  DriverStatus status = kDriverOk;
  // A count of fewer bytes than asked is not an error in libftdi1; the rest
  // is sent again, and only a transfer that moves nothing at all, or fails,
  // ends the write with a failure.
  while (done < byte_count) {
    const std::uint32_t left = byte_count - done;
    const int asked = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    const int sent = calls.ftdi_write_data(context, bytes + done, asked);
    if (sent <= 0 || sent > asked) {
      status = kIoError;
      break;
    }
    done += static_cast<std::uint32_t>(sent);
  }
  if (bytes_written != nullptr) *bytes_written = done;
  return status;
}

DriverStatus GetBitMode(const FtdiCalls& calls, DeviceHandle handle, std::uint8_t* pin_value) {
  ftdi_context* context = FindContext(handle);
  if (context == nullptr) return kInvalidHandle;
  if (pin_value == nullptr) return kInvalidParameter;
  unsigned char pins = 0;
  if (calls.ftdi_read_pins(context, &pins) != 0) return kIoError;
  *pin_value = pins;
  return kDriverOk;
}

void CloseAll(const FtdiCalls& calls) {
  std::lock_guard<std::mutex> lock(g_opened_mutex);
  while (OpenedDevice* device = g_opened_devices) {
    g_opened_devices = device->next;
    calls.ftdi_deinit(&device->context);
    delete device;
  }
}

}  // namespace ftdi_adapter
