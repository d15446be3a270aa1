#include "wasapi_endpoints.h"

#include <windows.h>
#include <mmdeviceapi.h>
// After mmdeviceapi.h, which brings the property key type.
#include <functiondiscoverykeys_devpkey.h>
#include <wrl/client.h>

#include "com_scope.h"
#include "wasapi_api.h"

using Microsoft::WRL::ComPtr;

namespace {

std::string ToUtf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

std::wstring EndpointId(IMMDevice* device) {
  LPWSTR id = nullptr;
  if (FAILED(device->GetId(&id))) return {};
  std::wstring copy(id);
  CoTaskMemFree(id);
  return copy;
}

std::string FriendlyName(IMMDevice* device) {
  ComPtr<IPropertyStore> properties;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &properties))) return {};
  PROPVARIANT value;
  PropVariantInit(&value);
  std::string name;
  if (SUCCEEDED(properties->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR)
    name = ToUtf8(value.pwszVal);
  PropVariantClear(&value);
  return name;
}

}  // namespace

std::vector<RenderEndpoint> ListRenderEndpoints() {
  ComScope com;
  std::vector<RenderEndpoint> endpoints;
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(wasapiApi.createEnumerator(&enumerator))) return endpoints;

  std::wstring defaultId;
  ComPtr<IMMDevice> defaultDevice;
  if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &defaultDevice)))
    defaultId = EndpointId(defaultDevice.Get());

  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &collection)) ||
      FAILED(collection->GetCount(&count)))
    return endpoints;
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    if (FAILED(collection->Item(i, &device))) continue;
    RenderEndpoint endpoint{EndpointId(device.Get()), FriendlyName(device.Get())};
    if (endpoint.id.empty()) continue;
    if (endpoint.name.empty()) endpoint.name = "Audio output";
    if (endpoint.id == defaultId)
      endpoints.insert(endpoints.begin(), std::move(endpoint));
    else
      endpoints.push_back(std::move(endpoint));
  }
  return endpoints;
}
