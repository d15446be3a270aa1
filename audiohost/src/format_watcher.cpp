#include "format_watcher.h"

ULONG FormatWatcher::AddRef() { return ++references_; }

ULONG FormatWatcher::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT FormatWatcher::QueryInterface(REFIID iid, void** object) {
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
    AddRef();
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT FormatWatcher::OnPropertyValueChanged(LPCWSTR endpointId, const PROPERTYKEY key) {
  const bool formatChanged =
      key.fmtid == PKEY_AudioEngine_DeviceFormat.fmtid && key.pid == PKEY_AudioEngine_DeviceFormat.pid;
  if (window_ && endpointId && formatChanged && endpointId_ == endpointId)
    PostMessageW(window_, kFormatChangedMessage, 0, 0);
  return S_OK;
}
