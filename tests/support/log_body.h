#pragma once
// The lines of the debug log in the working directory after its header and
// the key clock's line that opening it writes, without their line ends.

#include <fstream>
#include <string>
#include <vector>

inline std::vector<std::string> LogBody() {
  std::ifstream in("VelkinDbg.Log", std::ios::binary);
  std::vector<std::string> lines;
  bool inBody = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (inBody) lines.push_back(line);
    if (line == "Timer initialized") inBody = true;
  }
  return lines;
}
