// The driver library's five entry points as this program calls them.
//
// The widths are fixed on purpose: the driver's own DWORD, ULONG and status
// type are 32 bits wide on every platform it ships for, including 64-bit
// Linux, where a `long` would be 64 bits and break the calling contract.
// The driver library is loaded at run time and never linked, so these
// declarations are the whole contract; no header of the driver's is used.
#ifndef QUENDAL_DRIVER_DRIVER_INTERFACE_H
#define QUENDAL_DRIVER_DRIVER_INTERFACE_H

#include <cstdint>

#include "driver/driver_status.h"

// 32-bit Windows builds of the driver use the stdcall convention; every other
// platform has a single calling convention.
#if defined(_WIN32) && !defined(_WIN64)
#define DRIVER_CALL __stdcall
#else
#define DRIVER_CALL
#endif

// Opaque, pointer-sized; handed back unchanged to every call after FT_Open.
using DeviceHandle = void*;

extern "C" {
using FT_OpenFunction = DriverStatus(DRIVER_CALL*)(std::int32_t device_index,
                                                   DeviceHandle* handle);
using FT_SetBitModeFunction = DriverStatus(DRIVER_CALL*)(DeviceHandle handle,
                                                         std::uint8_t pin_mask,
                                                         std::uint8_t mode);
using FT_WriteFunction = DriverStatus(DRIVER_CALL*)(DeviceHandle handle,
                                                    void* data,
                                                    std::uint32_t byte_count,
                                                    std::uint32_t* bytes_written);
using FT_SetBaudRateFunction = DriverStatus(DRIVER_CALL*)(DeviceHandle handle,
                                                          std::uint32_t baud_rate);
using FT_GetBitModeFunction = DriverStatus(DRIVER_CALL*)(DeviceHandle handle,
                                                         std::uint8_t* pin_value);
}

#endif  // QUENDAL_DRIVER_DRIVER_INTERFACE_H
