// The libftdi1 calls that the adapter makes, gathered in one record.
//
// Each slot has the exact signature of the libftdi1 function of the same
// name. The shared library fills the record with libftdi1 itself; the unit
// tests fill it with a fake, so that the translation to the driver's
// statuses can be checked without a board or a USB bus.
#ifndef QUENDAL_FTDI_ADAPTER_FTDI_CALLS_H
#define QUENDAL_FTDI_ADAPTER_FTDI_CALLS_H

#include <ftdi.h>

namespace ftdi_adapter {

struct FtdiCalls {
  int (*ftdi_init)(ftdi_context* ftdi);
  void (*ftdi_deinit)(ftdi_context* ftdi);
  int (*ftdi_usb_find_all)(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor,
                           int product);
  void (*ftdi_list_free)(ftdi_device_list** devlist);
  int (*ftdi_usb_open_dev)(ftdi_context* ftdi, libusb_device* dev);
  int (*ftdi_tcioflush)(ftdi_context* ftdi);
  int (*ftdi_set_baudrate)(ftdi_context* ftdi, int baudrate);
  int (*ftdi_set_bitmode)(ftdi_context* ftdi, unsigned char bitmask, unsigned char mode);
  int (*ftdi_write_data)(ftdi_context* ftdi, const unsigned char* buf, int size);
  int (*ftdi_read_pins)(ftdi_context* ftdi, unsigned char* pins);
};

// The record filled with the real libftdi1.
const FtdiCalls& LibftdiCalls();

}  // namespace ftdi_adapter

#endif  // QUENDAL_FTDI_ADAPTER_FTDI_CALLS_H
