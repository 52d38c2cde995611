// The exported entry points. The same source builds the full library and the
// variants that the binding tests need: VBOARD_WITHOUT_<entry point> leaves
// that one out, VBOARD_WRONG_CASE exports all five under names that differ
// from the right ones only in letter case, VBOARD_UNRESOLVED makes FT_Open
// call a function that no library defines (a library that cannot be loaded
// whole).
#include <cstdint>
#include <type_traits>

#include "driver/driver_interface.h"
#include "virtual-board/virtual_board.h"

#if defined(_WIN32)
#define VBOARD_EXPORT __declspec(dllexport)
#else
#define VBOARD_EXPORT __attribute__((visibility("default")))
#endif

#if defined(VBOARD_WRONG_CASE)
#define VBOARD_NAME(right, other_case) other_case
#else
#define VBOARD_NAME(right, other_case) right
#endif

// The exported functions must be exactly what the bench program calls
// through its entry point types, calling convention included.
#define VBOARD_CHECK_TYPE(function, type)                                   \
  static_assert(std::is_same<decltype(&function), type>::value,              \
                #function " does not match " #type);

extern "C" {

#if defined(VBOARD_UNRESOLVED)
void vboard_never_defined();
#endif

#if !defined(VBOARD_WITHOUT_FT_Open)
VBOARD_EXPORT DriverStatus DRIVER_CALL VBOARD_NAME(FT_Open, ft_open)(std::int32_t device_index,
                                                                     DeviceHandle* handle) {
#if defined(VBOARD_UNRESOLVED)
  vboard_never_defined();
#endif
  return virtual_board::Open(device_index, handle);
}
VBOARD_CHECK_TYPE(VBOARD_NAME(FT_Open, ft_open), FT_OpenFunction)
#endif

#if !defined(VBOARD_WITHOUT_FT_SetBitMode)
VBOARD_EXPORT DriverStatus DRIVER_CALL VBOARD_NAME(FT_SetBitMode, ft_setbitmode)(
    DeviceHandle handle, std::uint8_t pin_mask, std::uint8_t mode) {
  return virtual_board::SetBitMode(handle, pin_mask, mode);
}
VBOARD_CHECK_TYPE(VBOARD_NAME(FT_SetBitMode, ft_setbitmode), FT_SetBitModeFunction)
#endif

#if !defined(VBOARD_WITHOUT_FT_Write)
VBOARD_EXPORT DriverStatus DRIVER_CALL VBOARD_NAME(FT_Write, ft_write)(
    DeviceHandle handle, void* data, std::uint32_t byte_count, std::uint32_t* bytes_written) {
  return virtual_board::Write(handle, data, byte_count, bytes_written);
}
VBOARD_CHECK_TYPE(VBOARD_NAME(FT_Write, ft_write), FT_WriteFunction)
#endif

#if !defined(VBOARD_WITHOUT_FT_SetBaudRate)
VBOARD_EXPORT DriverStatus DRIVER_CALL VBOARD_NAME(FT_SetBaudRate, ft_setbaudrate)(
    DeviceHandle handle, std::uint32_t baud_rate) {
  return virtual_board::SetBaudRate(handle, baud_rate);
}
VBOARD_CHECK_TYPE(VBOARD_NAME(FT_SetBaudRate, ft_setbaudrate), FT_SetBaudRateFunction)
#endif

#if !defined(VBOARD_WITHOUT_FT_GetBitMode)
VBOARD_EXPORT DriverStatus DRIVER_CALL VBOARD_NAME(FT_GetBitMode, ft_getbitmode)(
    DeviceHandle handle, std::uint8_t* pin_value) {
  return virtual_board::GetBitMode(handle, pin_value);
}
VBOARD_CHECK_TYPE(VBOARD_NAME(FT_GetBitMode, ft_getbitmode), FT_GetBitModeFunction)
#endif

}  // extern "C"
