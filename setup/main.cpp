// fpga-diag-setup: whether the boards are ready for fpga-diag, and binding them to vfio-pci.
#include <iostream>
#include <string>
#include <vector>

#include "setup/setup.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::unique_ptr<setup::Host> host = setup::LinuxHost();
  return setup::Main(*host, args, std::cout, std::cerr);
}
