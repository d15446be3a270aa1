#include "endpoint_watcher.h"

ULONG EndpointWatcher::AddRef() { return ++references_; }

ULONG EndpointWatcher::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT EndpointWatcher::QueryInterface(REFIID iid, void** object) {
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
    AddRef();
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT EndpointWatcher::OnDeviceStateChanged(LPCWSTR endpointId, DWORD state) {
  if (IsOurs(endpointId) && state != DEVICE_STATE_ACTIVE) SetEvent(gone_);
  return S_OK;
}

HRESULT EndpointWatcher::OnDeviceRemoved(LPCWSTR endpointId) {
  if (IsOurs(endpointId)) SetEvent(gone_);
  return S_OK;
}
