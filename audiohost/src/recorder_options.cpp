#include "recorder_options.h"

#include <windows.h>

#include <cstdio>

namespace {

// The variable's value; empty when it is unset or empty.
std::string Environment(const char* name) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size <= 1) return {};
  std::string value(size, '\0');
  const DWORD length = GetEnvironmentVariableA(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

void ReadCount(const char* name, uint32_t low, uint32_t high, uint32_t& value) {
  const std::string text = Environment(name);
  if (text.empty() || ParseCount(text.c_str(), low, high, value)) return;
  std::fprintf(stderr, "%s=\"%s\" is not a whole number from %u to %u; using %u\n", name,
               text.c_str(), low, high, value);
  std::fflush(stderr);
}

}  // namespace

bool ParseCount(const char* text, uint32_t low, uint32_t high, uint32_t& value) {
  if (!text || !*text) return false;
  uint64_t number = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(*c - '0');
    if (number > high) return false;
  }
  if (number < low) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

RecorderOptions ReadRecorderOptions() {
  RecorderOptions options;
  ReadCount("ASIOHOST_RATE", kMinRate, kMaxRate, options.sampleRate);
  ReadCount("ASIOHOST_BUFFER", kMinBufferFrames, kMaxBufferFrames, options.bufferFrames);
  if (std::string path = Environment("ASIOHOST_WAV"); !path.empty()) options.wavPath = std::move(path);
  return options;
}
