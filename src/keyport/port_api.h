#pragma once
// The system calls the key port makes, gathered in one table so that a test
// can put a simulated serial device in their place. It holds the real
// functions unless a test has changed it.

#include <windows.h>

struct PortApi {
  HANDLE(WINAPI* createFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* setCommMask)(HANDLE, DWORD);
  BOOL(WINAPI* waitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* getOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  BOOL(WINAPI* getCommModemStatus)(HANDLE, LPDWORD);
  // Raises or lowers an output line: SETDTR, CLRDTR, SETRTS or CLRRTS.
  BOOL(WINAPI* escapeCommFunction)(HANDLE, DWORD);
  // Ends outstanding waits on the port, also those another thread started.
  BOOL(WINAPI* cancelIoEx)(HANDLE, LPOVERLAPPED);
  // Closes the port handle; the wait event, mutex and thread handles are
  // not the device's and are closed directly.
  BOOL(WINAPI* closeHandle)(HANDLE);
  int(WINAPI* messageBox)(HWND, LPCSTR, LPCSTR, UINT);
  // The 1 ms sleeps of the debounce pause and of the stop.
  VOID(WINAPI* sleep)(DWORD);
  // The keyer modes' debounce: the clock that times each paddle line's quiet
  // time, and the wait for the comm event's completion that a quiet time's
  // end cuts short.
  BOOL(WINAPI* queryPerformanceCounter)(LARGE_INTEGER*);
  DWORD(WINAPI* waitForSingleObject)(HANDLE, DWORD);
};

extern PortApi portApi;
// The real functions, for a test to put back.
extern const PortApi realPortApi;
