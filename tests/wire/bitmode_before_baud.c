/* Opens device 0 through the driver's entry points and sets the bit mode
 * before the baud rate, the order in which libftdi1 on its own would send
 * the chip the divisor for four times the rate. Prints the three statuses;
 * exits 1 when one is not 0. */
#include <stdint.h>
#include <stdio.h>

uint32_t FT_Open(int32_t device_index, void** handle);
uint32_t FT_SetBitMode(void* handle, uint8_t pin_mask, uint8_t mode);
uint32_t FT_SetBaudRate(void* handle, uint32_t baud_rate);

int main(void) {
  void* handle = NULL;
  uint32_t opened = FT_Open(0, &handle);
  uint32_t bit_mode = opened == 0 ? FT_SetBitMode(handle, 0x03, 0x01) : 0;
  uint32_t baud_rate = opened == 0 ? FT_SetBaudRate(handle, 115200) : 0;
  printf("FT_Open %u, FT_SetBitMode %u, FT_SetBaudRate %u\n", (unsigned)opened,
         (unsigned)bit_mode, (unsigned)baud_rate);
  return opened == 0 && bit_mode == 0 && baud_rate == 0 ? 0 : 1;
}
