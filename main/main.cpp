// The utility's entry point. Command-line arguments are accepted and ignored.
#include "main/run.h"
#include "platform/platform.h"

int main() {
  platform::ConsoleInit();
  DIAG_Run();
  return 0;
}
