// The five entry points that the shared library exports, under the driver's
// own names, each passing straight to the translation over libftdi1.
#include <cstdint>
#include <type_traits>

#include "driver/driver_interface.h"
#include "ftdi-adapter/ftdi_calls.h"
#include "ftdi-adapter/ftdi_translation.h"

#define ADAPTER_EXPORT __attribute__((visibility("default")))

extern "C" {

ADAPTER_EXPORT DriverStatus DRIVER_CALL FT_Open(std::int32_t device_index, DeviceHandle* handle) {
  return ftdi_adapter::Open(ftdi_adapter::LibftdiCalls(), device_index, handle);
}

ADAPTER_EXPORT DriverStatus DRIVER_CALL FT_SetBitMode(DeviceHandle handle, std::uint8_t pin_mask,
                                                      std::uint8_t mode) {
  return ftdi_adapter::SetBitMode(ftdi_adapter::LibftdiCalls(), handle, pin_mask, mode);
}

ADAPTER_EXPORT DriverStatus DRIVER_CALL FT_Write(DeviceHandle handle, void* data,
                                                 std::uint32_t byte_count,
                                                 std::uint32_t* bytes_written) {
  return ftdi_adapter::Write(ftdi_adapter::LibftdiCalls(), handle, data, byte_count,
                             bytes_written);
}

ADAPTER_EXPORT DriverStatus DRIVER_CALL FT_SetBaudRate(DeviceHandle handle,
                                                       std::uint32_t baud_rate) {
  return ftdi_adapter::SetBaudRate(ftdi_adapter::LibftdiCalls(), handle, baud_rate);
}

ADAPTER_EXPORT DriverStatus DRIVER_CALL FT_GetBitMode(DeviceHandle handle,
                                                      std::uint8_t* pin_value) {
  return ftdi_adapter::GetBitMode(ftdi_adapter::LibftdiCalls(), handle, pin_value);
}

}  // extern "C"

// The program looks these up by name and calls them through its own
// declarations, so a mismatch would only show as a broken call at run time.
static_assert(std::is_same_v<decltype(&FT_Open), FT_OpenFunction>);
static_assert(std::is_same_v<decltype(&FT_SetBitMode), FT_SetBitModeFunction>);
static_assert(std::is_same_v<decltype(&FT_Write), FT_WriteFunction>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), FT_SetBaudRateFunction>);
static_assert(std::is_same_v<decltype(&FT_GetBitMode), FT_GetBitModeFunction>);
