// The driver's status: what every entry point returns. 0 is success and
// anything else a failure; the program only ever prints a failure, in signed
// decimal, so any value may come back. The names are the driver's own, as
// the README's table gives them, for the values that the program, the
// virtual board and the adapter give or test for.
#ifndef QUENDAL_DRIVER_DRIVER_STATUS_H
#define QUENDAL_DRIVER_DRIVER_STATUS_H

#include <cstdint>

using DriverStatus = std::uint32_t;

constexpr DriverStatus kDriverOk = 0;
constexpr DriverStatus kInvalidHandle = 1;
constexpr DriverStatus kDeviceNotFound = 2;
constexpr DriverStatus kDeviceNotOpened = 3;
constexpr DriverStatus kIoError = 4;
constexpr DriverStatus kInsufficientResources = 5;
constexpr DriverStatus kInvalidParameter = 6;
constexpr DriverStatus kInvalidBaudRate = 7;
constexpr DriverStatus kOtherError = 18;

#endif  // QUENDAL_DRIVER_DRIVER_STATUS_H
