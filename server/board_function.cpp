#include "board_function.h"

#include "regs/regs.h"

namespace board_server {

vfu::PciFunction BoardFunction(const sim::Settings& settings) {
  vfu::PciFunction f;
  f.vendor_id = f.subsystem_vendor_id = BOARD_VENDOR_ID;
  f.device_id = f.subsystem_id = BOARD_DEVICE_ID;
  f.class_code = 0x058000;  // memory controller, other: what such FPGA boards report
  f.bar_bytes[AD_BAR0] = BAR0_BYTES;
  f.bar_bytes[AD_BAR1] = BAR1_BYTES;
  f.intx = true;
  f.msi = true;
  f.express = true;
  f.link = {settings.link_gen, settings.link_width};
  f.max_link = {settings.link_max_gen, settings.link_max_width};
  // The controller takes payloads up to 512 bytes; the link model's rates are those of the
  // 128-byte payloads that Device Control holds at power-on.
  f.max_payload = 512;
  f.flr = true;
  f.aer = true;
  return f;
}

}  // namespace board_server
