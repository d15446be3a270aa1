#pragma once
// Tells the program's window, with message WM_APP + 10, when the format or
// sample rate of the open endpoint changes. Registered with the system's
// endpoint notifications while the endpoint is open; the system calls it on
// a thread of its own.

#include <windows.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <string>

inline constexpr UINT kFormatChangedMessage = WM_APP + 10;

class FormatWatcher final : public IMMNotificationClient {
 public:
  FormatWatcher(std::wstring endpointId, HWND window) : endpointId_(std::move(endpointId)), window_(window) {}

  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR endpointId, const PROPERTYKEY key) override;
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }

 private:
  const std::wstring endpointId_;
  const HWND window_;
  std::atomic<ULONG> references_{1};
};
