#pragma once
// The system's active audio render endpoints.

#include <string>
#include <vector>

struct RenderEndpoint {
  std::wstring id;
  std::string name;  // the friendly name, UTF-8
};

// The default endpoint first, then the others in the system's order. Empty
// when the system has no audio service or no active endpoint.
std::vector<RenderEndpoint> ListRenderEndpoints();
