#include <windows.h>

#include <string>

#include "audio/audio_host.h"

namespace {

// The full path of ASIOHOST.dll beside the running executable, so that no
// other folder on the search path can supply it.
std::wstring LibraryPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);  // npos + 1 is 0: no folder, the bare name
  return path + L"ASIOHOST.dll";
}

template <typename Operation>
bool Find(HMODULE library, const char* name, Operation& operation) {
  operation = reinterpret_cast<Operation>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return operation != nullptr;
}

}  // namespace

bool LoadAudioHost() {
  const std::wstring path = LibraryPath();
  const HMODULE library = path.empty() ? nullptr : LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!library) return false;
  AudioHost host;
  const bool complete = Find(library, "ASIOGetDevices", host.ASIOGetDevices) &&
                        Find(library, "ASIOInit", host.ASIOInit) &&
                        Find(library, "ASIOCreateBuffers", host.ASIOCreateBuffers) &&
                        Find(library, "ASIOGetPrimaryBufferSizeSamples", host.ASIOGetPrimaryBufferSizeSamples) &&
                        Find(library, "ASIOGetSampleRate", host.ASIOGetSampleRate) &&
                        Find(library, "CreateVirtualChannel", host.CreateVirtualChannel) &&
                        Find(library, "PreLoadBuffers", host.PreLoadBuffers) &&
                        Find(library, "StartPlay", host.StartPlay) &&
                        Find(library, "CloseVirtualChannel", host.CloseVirtualChannel) &&
                        Find(library, "ASIOShutdown", host.ASIOShutdown);
  if (!complete) {
    FreeLibrary(library);
    return false;
  }
  audioHost = host;  // the library stays loaded for the rest of the process
  return true;
}
