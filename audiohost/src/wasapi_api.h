#pragma once
// The calls through which the endpoint code reaches the system's audio
// objects, gathered in one table so that a test can put a simulated endpoint
// in their place: every device, audio client, render client and notification
// comes from the enumerator. It holds the real functions unless a test has
// changed it.

#include <windows.h>
#include <mmdeviceapi.h>

struct WasapiApi {
  HRESULT (*createEnumerator)(IMMDeviceEnumerator** enumerator);
  // The pause before another attempt to reopen a device that has gone:
  // WAIT_TIMEOUT once `milliseconds` have passed, WAIT_OBJECT_0 as soon as
  // `stop` is set.
  DWORD (*pauseUnlessStopped)(HANDLE stop, DWORD milliseconds);
};

extern WasapiApi wasapiApi;
// The real functions, for a test to put back.
extern const WasapiApi realWasapiApi;
