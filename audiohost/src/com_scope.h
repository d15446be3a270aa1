#pragma once
// COM for the calling thread for as long as the scope lives. A thread that
// already has an apartment of the other kind keeps it; COM works there too,
// and the scope then leaves it alone.

#include <objbase.h>

class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};
