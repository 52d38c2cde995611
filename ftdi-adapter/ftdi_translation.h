// The driver's five operations carried out with libftdi1.
//
// Each function serves the entry point of its name with the FT_ left off,
// with its meaning and status values, so that a program written for the
// vendor's library runs unchanged:
//   0 ok, 1 invalid handle, 2 device not found, 3 device not opened,
//   4 I/O error, 5 insufficient resources, 6 invalid parameter,
//   7 invalid baud rate.
// Only a handle that Open gave is valid; any other handle gives 1 and
// reaches no libftdi1 call. Handles stay valid until the process ends: there
// is no close. Calls on one handle must not overlap, as in libftdi1.
#ifndef QUENDAL_FTDI_ADAPTER_FTDI_TRANSLATION_H
#define QUENDAL_FTDI_ADAPTER_FTDI_TRANSLATION_H

#include <cstdint>

#include "driver/driver_interface.h"
#include "ftdi-adapter/ftdi_calls.h"

namespace ftdi_adapter {

// Opens the device at `device_index` in libftdi1's list of FTDI devices with
// the default vendor and product ids; libftdi1 detaches ftdi_sio itself.
// The chip is reset and both its buffers purged. A missing device, or no USB
// access at all, gives 2; a device that is there but cannot be opened
// (permissions, busy) gives 3; a chip that does not answer the reset, the
// first baud rate or the purge gives 4. A failed open leaves the device
// closed.
DriverStatus Open(const FtdiCalls& calls, std::int32_t device_index, DeviceHandle* handle);

// Sets the chip's baud rate divisor for `baud_rate` itself, whether or not a
// bit mode is already on (libftdi1 alone would scale the rate by 4 then).
DriverStatus SetBaudRate(const FtdiCalls& calls, DeviceHandle handle, std::uint32_t baud_rate);

DriverStatus SetBitMode(const FtdiCalls& calls, DeviceHandle handle, std::uint8_t pin_mask,
                        std::uint8_t mode);

// Succeeds only when every byte went out: what a transfer leaves unsent is
// sent again. `bytes_written` (may be null) gets the count known to have gone
// out, also on failure; libftdi1 does not tell how much of a write that
// fails part-way went out, so that part is not counted.
DriverStatus Write(const FtdiCalls& calls, DeviceHandle handle, const void* data,
                   std::uint32_t byte_count, std::uint32_t* bytes_written);

// The present levels of the eight data pins, bit n for pin Dn.
DriverStatus GetBitMode(const FtdiCalls& calls, DeviceHandle handle, std::uint8_t* pin_value);

// Closes every opened device (ftdi_deinit), after which no handle is valid.
// Not an entry point: for a caller that must start again from no device, as
// a test does between its cases.
void CloseAll(const FtdiCalls& calls);

}  // namespace ftdi_adapter

#endif  // QUENDAL_FTDI_ADAPTER_FTDI_TRANSLATION_H
