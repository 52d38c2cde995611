// Opening the first device and putting it into the bench's one configuration.
#ifndef QUENDAL_DRIVER_DEVICE_SETUP_H
#define QUENDAL_DRIVER_DEVICE_SETUP_H

#include <cstdint>

#include "driver/driver_binding.h"
#include "driver/stage_result.h"

constexpr std::int32_t kDeviceIndex = 0;
constexpr std::uint32_t kBaudRate = 115200;
constexpr std::uint8_t kOutputPinMask = 0x03;  // D0 and D1 drive, D2 to D7 read.
constexpr std::uint8_t kAsyncBitBangMode = 0x01;

// FT_Open(0), FT_SetBaudRate(115200), FT_SetBitMode(0x03, 0x01), each only
// after the one before it succeeded. On success *device holds the handle,
// which is never closed; on failure the message carries the driver's status.
StageResult OpenDevice(const DriverEntryPoints& driver, DeviceHandle* device);

#endif  // QUENDAL_DRIVER_DEVICE_SETUP_H
