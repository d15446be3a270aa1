// A small helper for the end-to-end tests: finds Velkin's window and reports
// its geometry, or posts it a message. (Its pixels are read from the X
// server: Wine's GetPixel from another process gives nothing until that part
// of the window is drawn again.)
//   window_probe window SECONDS     title, class, client size and origin
//   window_probe post MESSAGE [W]   posts MESSAGE (a number) to the window, with
//                                   W (a number, default 0) as its wParam
//   window_probe box TITLE          the texts of the message box titled TITLE
//   window_probe activate           makes the window the foreground window
//   window_probe foreground         "yes" when the window is the foreground
//                                   window and not minimized, else "no"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND WaitForWindow(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    HWND window = FindWindowA("Velkin", nullptr);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount64() >= end) return nullptr;
    Sleep(20);
  }
}

int Geometry(HWND window) {
  char title[256] = "";
  char className[256] = "";
  GetWindowTextA(window, title, sizeof title);
  GetClassNameA(window, className, sizeof className);
  RECT client;
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  std::printf("title=%s\nclass=%s\nclient=%ldx%ld\norigin=%ld,%ld\n", title, className, client.right,
              client.bottom, origin.x, origin.y);
  return 0;
}

// Keyboard input goes to the foreground window. Wine may leave none after a
// message box without an owner closes, while the X focus stays where it was.
int Activate(HWND window) {
  for (int tries = 0; tries < 250; ++tries) {
    if (GetForegroundWindow() == window) return 0;
    SetForegroundWindow(window);
    Sleep(20);
  }
  std::printf("not the foreground window\n");
  return 1;
}

BOOL CALLBACK PrintStaticText(HWND child, LPARAM) {
  char className[64] = "";
  char text[1024] = "";
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0) {
    std::printf("%s\n", text);
  }
  return TRUE;
}

int BoxTexts(const char* title) {
  HWND box = FindWindowA("#32770", title);
  if (box == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  EnumChildWindows(box, PrintStaticText, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "window") == 0) {
    HWND window = WaitForWindow(static_cast<DWORD>(std::atoi(argv[2]) * 1000));
    if (window == nullptr) {
      std::printf("no window\n");
      return 1;
    }
    return Geometry(window);
  }
  if (argc == 3 && std::strcmp(argv[1], "box") == 0) return BoxTexts(argv[2]);
  HWND window = WaitForWindow(0);
  if (window == nullptr) {
    std::printf("no window\n");
    return 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "activate") == 0) return Activate(window);
  if (argc == 2 && std::strcmp(argv[1], "foreground") == 0) {
    std::printf(GetForegroundWindow() == window && !IsIconic(window) ? "yes\n" : "no\n");
    return 0;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "post") == 0) {
    const WPARAM wParam = argc == 4 ? std::strtoul(argv[3], nullptr, 0) : 0;
    return PostMessageA(window, static_cast<UINT>(std::atoi(argv[2])), wParam, 0) ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: window_probe window SECONDS | post MESSAGE [W] | box TITLE | activate"
               " | foreground\n");
  return 2;
}
