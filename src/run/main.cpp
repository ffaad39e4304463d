#include <windows.h>

#include <new>

#include "run/update_run.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Exhausted memory ends the pass where it happens: nothing is shown, and
  // whatever was already done stays as it is. The framework reads the
  // outcome from the registry, never from the exit code.
  try {
    RunUpdate(instance);
  } catch (const std::bad_alloc&) {
  } catch (...) {
    // Nothing else is expected to be thrown; should it be, the exit code
    // still says nothing, as always.
  }
  return 0;
}
