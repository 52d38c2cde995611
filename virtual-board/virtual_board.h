// The virtual board: the driver's five entry points, served by a model of one
// or more attached boards with an FT232R-class chip in bit-bang mode.
//
// Contract: the first call reads the VBOARD_* settings and keeps them for the
// life of the process. With a malformed setting, one line goes to standard
// error, FT_Open returns 18 (other error) and every other call 1 (invalid
// handle). Every call is counted per entry point, takes its configured
// latency, may be made to fail by a fault rule, is traced, and may type keys
// before it returns. Calls are expected one at a time, as the bench program
// makes them from its single thread.
#ifndef QUENDAL_VIRTUAL_BOARD_VIRTUAL_BOARD_H
#define QUENDAL_VIRTUAL_BOARD_VIRTUAL_BOARD_H

#include <cstdint>

#include "driver/driver_interface.h"

// Each function serves the entry point of its name with the FT_ left off.
namespace virtual_board {

DriverStatus Open(std::int32_t device_index, DeviceHandle* handle);
DriverStatus SetBitMode(DeviceHandle handle, std::uint8_t pin_mask, std::uint8_t mode);
DriverStatus Write(DeviceHandle handle, const void* data, std::uint32_t byte_count,
                   std::uint32_t* bytes_written);
DriverStatus SetBaudRate(DeviceHandle handle, std::uint32_t baud_rate);
DriverStatus GetBitMode(DeviceHandle handle, std::uint8_t* pin_value);

}  // namespace virtual_board

#endif  // QUENDAL_VIRTUAL_BOARD_VIRTUAL_BOARD_H
