#include "system/seams.h"

PlatformSeams& Seams() {
  static PlatformSeams seams;
  return seams;
}
