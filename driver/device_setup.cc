#include "driver/device_setup.h"

StageResult OpenDevice(const DriverEntryPoints& driver, DeviceHandle* device) {
  DriverStatus status = driver.FT_Open(kDeviceIndex, device);
  if (status != kDriverOk) return OpenFailed(status);
  // The rate is set before the bit mode.
  status = driver.FT_SetBaudRate(*device, kBaudRate);
  if (status != kDriverOk) return SetBaudRateFailed(status);
  status = driver.FT_SetBitMode(*device, kOutputPinMask, kAsyncBitBangMode);
  if (status != kDriverOk) return SetBitModeFailed(status);
  return StageSucceeded();
}
