// Feeds arbitrary bytes to the settings reader as a config.ini.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "app/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Settings read;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  ReadSettings(in, read);
  // The text fields keep at most 5 and 3 characters and stay terminated.
  if (strnlen(read.portName, sizeof read.portName) > 5) std::abort();
  if (strnlen(read.keyLine, sizeof read.keyLine) > 3) std::abort();
  return 0;
}
