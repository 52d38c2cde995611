#include "bench/console.h"

void WaitForKey(Console& console) {
  while (!console.KeyWaiting()) {
  }
}
