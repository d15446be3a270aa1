#include "keyport/port_api.h"

const PortApi realPortApi = {CreateFileA,         SetCommMask,        WaitCommEvent,
                             GetOverlappedResult, GetCommModemStatus, EscapeCommFunction,
                             CancelIoEx,          CloseHandle,        MessageBoxA,
                             Sleep,               QueryPerformanceCounter,
                             WaitForSingleObject};

PortApi portApi = realPortApi;
