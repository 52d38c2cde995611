#include "ftdi-adapter/ftdi_calls.h"

namespace ftdi_adapter {

const FtdiCalls& LibftdiCalls() {
  static const FtdiCalls kLibftdi = {
      ftdi_init,         ftdi_deinit,      ftdi_usb_find_all, ftdi_list_free,
      ftdi_usb_open_dev, ftdi_tcioflush,   ftdi_set_baudrate, ftdi_set_bitmode,
      ftdi_write_data,   ftdi_read_pins,
  };
  return kLibftdi;
}

}  // namespace ftdi_adapter
