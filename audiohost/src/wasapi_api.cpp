#include "wasapi_api.h"

namespace {

HRESULT CreateSystemEnumerator(IMMDeviceEnumerator** enumerator) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                          reinterpret_cast<void**>(enumerator));
}

DWORD WaitForStop(HANDLE stop, DWORD milliseconds) { return WaitForSingleObject(stop, milliseconds); }

}  // namespace

const WasapiApi realWasapiApi = {CreateSystemEnumerator, WaitForStop};

WasapiApi wasapiApi = realWasapiApi;
