#include "serial/Serial.h"

#include <cmath>

namespace serial {

double LineFormat::BitsPerByte() const {
  double stop = stopBits == ONE5STOPBITS ? 1.5 : stopBits == TWOSTOPBITS ? 2.0 : 1.0;
  return 1.0 + dataBits + (parity != NOPARITY ? 1.0 : 0.0) + stop;
}

kernel::Duration LineFormat::ByteTime() const {
  if (baud == 0) return kernel::Duration::zero();
  return kernel::Duration(static_cast<kernel::Duration::rep>(std::llround(BitsPerByte() * 1e9 / baud)));
}

}  // namespace serial
