#pragma once
// Learns from the system's endpoint notifications that the open endpoint has
// gone (removed, unplugged, disabled) and sets an event for the thread that
// keeps the stream going. Registered while the endpoint is open; the system
// calls it on a thread of its own.

#include <windows.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <string>

class EndpointWatcher final : public IMMNotificationClient {
 public:
  // `gone` is set for every notification that the endpoint left service.
  EndpointWatcher(std::wstring endpointId, HANDLE gone) : endpointId_(std::move(endpointId)), gone_(gone) {}

  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR endpointId, DWORD state) override;
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR endpointId) override;
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
  // A new shared format invalidates a shared stream, which the render thread
  // notices; an exclusive stream keeps its own format.
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

 private:
  bool IsOurs(LPCWSTR endpointId) const { return endpointId && endpointId_ == endpointId; }

  const std::wstring endpointId_;
  const HANDLE gone_;
  std::atomic<ULONG> references_{1};
};
