#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "driver.h"
#include "file_io.h"
#include "kelm.h"

int main(int argc, char** argv) {
  if (!kelm::ensure_standard_descriptors()) return kelm::STATUS_FILE;
  const std::vector<std::string> args(argv + 1, argv + argc);
  return kelm::run(args, {std::cin, std::cout, std::cerr}, [] { return std::time(nullptr); });
}
