#include "app/main_window.h"

#include <atomic>

#include "app/app_state.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "asiohost.h"
#include "audio/audio_output.h"
#include "keyport/key_port.h"
#include "log/debug_log.h"
#include "tone/key_clock.h"
#include "tone/keying.h"
#include "tone/lamp.h"
#include "tone/tone_generator.h"

namespace {

constexpr char kClassName[] = "Velkin";
constexpr char kTitle[] = "Velkin v1.08 XP";
constexpr WORD kIconId = 101;
constexpr WORD kPictureId = 102;
constexpr int kPictureWidth = 330;
constexpr int kPictureHeight = 247;
// Posted by UpdateLamp: the key's state has changed.
constexpr UINT kLampChanged = WM_APP + 1;
constexpr COLORREF kLampColour = RGB(0, 255, 0);

// The window's drawing objects, made during creation and used by the
// window's thread alone.
struct Drawing {
  HDC memoryDc = nullptr;  // holds the picture
  HBITMAP picture = nullptr;
  HBRUSH lampBrush = nullptr;
  HGDIOBJ savedBitmap = nullptr;
  RECT lampRect{};
};

Drawing drawing;
std::atomic<HWND> mainWindow{nullptr};
// A lamp message is on its way: the key's edges that come meanwhile need no
// message of their own, since the window paints the state it finds.
std::atomic<bool> lampMessagePosted{false};

// The lamp: a 20-pixel circle 10 pixels from the left and bottom edges of a
// client area of the height read at creation.
void PlaceLamp(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  drawing.lampRect = RECT{10, client.bottom - 30, 30, client.bottom - 10};
}

void MakeDrawingObjects(HINSTANCE instance) {
  drawing.memoryDc = CreateCompatibleDC(nullptr);
  drawing.lampBrush = CreateSolidBrush(kLampColour);
  drawing.picture = static_cast<HBITMAP>(
      LoadImageA(instance, MAKEINTRESOURCEA(kPictureId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  drawing.savedBitmap = SelectObject(drawing.memoryDc, drawing.picture);
}

// Brings the keying machinery up; each step relies on the ones before it.
void RunCreationSequence(HWND window, HINSTANCE instance) {
  PlaceLamp(window);
  MakeDrawingObjects(instance);
  OpenDebugLog();
  LogLine(kTitle);
  LogSettingsFindings();
  LogLine("");
  // Stored whatever the audio outcome, so keying always has a generator.
  appState.toneGenerator = CreateToneGenerator();
  OpenAudioOutput(*appState.toneGenerator, window);
  LogReal("Frequency", settings.frequency);
  LogReal("Attenuation", settings.attenuation);
  LogReal("Rise time", settings.riseTime);
  LogReal("Fall time", settings.fallTime);
  if (settings.keyTiming == KeyTiming::Scheduled) LogLine("Key timing: scheduled");
  SetupKeyPort();
  ResetKeyClock();
}

// The picture, and the lamp on it while the key is down.
void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const RECT& area = paint.rcPaint;
  BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, drawing.memoryDc, area.left,
         area.top, SRCCOPY);
  if (appState.keyed.load(std::memory_order_acquire)) {
    const HGDIOBJ savedBrush = SelectObject(dc, drawing.lampBrush);
    const RECT& lamp = drawing.lampRect;
    Ellipse(dc, lamp.left, lamp.top, lamp.right, lamp.bottom);
    SelectObject(dc, savedBrush);
  }
  EndPaint(window, &paint);
}

// Repaints the lamp at once. The flag is cleared before the paint reads the
// key's state, so an edge after this point posts a message of its own.
void OnLampChanged(HWND window) {
  lampMessagePosted.exchange(false, std::memory_order_acq_rel);
  InvalidateRect(window, &drawing.lampRect, FALSE);
  UpdateWindow(window);
}

// The keys as this window saw them. Only the GUI thread touches these.
struct Keyboard {
  bool spacePressed = false;   // a space-bar key-down came here, its key-up not yet
  bool escapePressed = false;  // an Escape key-down came here, its key-up not yet
};

Keyboard keyboard;

// What to do with a key event when the GUI thread's priority cannot be raised.
enum class WhenSlow { Drop, KeyAnyway };

// The raised priority makes the key clock's stamp prompt. A key-down that
// cannot be keyed promptly may be dropped; a key-up never is, for a dropped
// one would leave the tone sounding.
void KeyPromptly(void (*key)(), WhenSlow whenSlow) {
  HANDLE thread = GetCurrentThread();
  const int saved = GetThreadPriority(thread);
  const bool raised = SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
  if (!raised && whenSlow == WhenSlow::Drop) return;
  key();
  if (raised) SetThreadPriority(thread, saved);
}

// Bit 30 of a key message's lParam: the key was already down before it, as in
// an auto-repeat.
constexpr LPARAM kWasDown = LPARAM{1} << 30;

void OnKeyDown(WPARAM key, LPARAM flags) {
  // Only the press itself counts: an Escape pressed elsewhere and held while
  // the focus comes here repeats into this window.
  if (key == VK_ESCAPE && !(flags & kWasDown)) keyboard.escapePressed = true;
  if (key == VK_SPACE) {
    keyboard.spacePressed = true;
    KeyPromptly(KeyDown, WhenSlow::Drop);
  }
}

// Escape quits only when its press came here too: an Escape that answered a
// message box, or was pressed in another window, must not end the program.
void OnKeyUp(WPARAM key) {
  if (key == VK_ESCAPE) {
    if (keyboard.escapePressed) PostQuitMessage(0);
    keyboard.escapePressed = false;
  }
  if (key == VK_SPACE) {
    keyboard.spacePressed = false;
    KeyPromptly(KeyUp, WhenSlow::KeyAnyway);
  }
}

// The key-ups of keys held while the focus goes elsewhere go elsewhere too.
// A space bar this window saw pressed gets its key-up here at once, so the
// tone falls and the lamp goes out; a key held on the serial line sounds on.
void OnFocusLost() {
  keyboard.escapePressed = false;
  if (!keyboard.spacePressed) return;
  keyboard.spacePressed = false;
  KeyPromptly(KeyUp, WhenSlow::KeyAnyway);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      RunCreationSequence(window, reinterpret_cast<const CREATESTRUCTA*>(lParam)->hInstance);
      break;
    case WM_PAINT:
      Paint(window);
      break;
    case kLampChanged:
      OnLampChanged(window);
      break;
    case WM_KEYDOWN:
      OnKeyDown(wParam, lParam);
      break;
    case WM_KEYUP:
      OnKeyUp(wParam);
      break;
    case WM_KILLFOCUS:
      OnFocusLost();
      break;
    case WM_ACTIVATEAPP:
      if (!wParam) OnFocusLost();
      break;
    case ASIOHOST_RATE_CHANGED_MESSAGE:
      ShowMessageBox("Please exit the application and restart it for change to take effect.",
                     "Sample rate change request...", MessageIcon::Warning);
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  // The icon's own 16 x 16 image, drawn for that size, rather than the
  // 32 x 32 one shrunk.
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kClassName;
  return RegisterClassExA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  // The padded border is part of a sizing frame on systems that have one
  // (0 where there is none), so the client area stays the picture's size.
  const int padding = GetSystemMetrics(SM_CXPADDEDBORDER);
  const int width = kPictureWidth + 2 * (GetSystemMetrics(SM_CXFRAME) + padding);
  const int height =
      kPictureHeight + GetSystemMetrics(SM_CYCAPTION) + 2 * (GetSystemMetrics(SM_CYFRAME) + padding);
  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  const int x = desktop.right / 2 - width / 2;
  const int y = desktop.bottom / 2 - height / 2;
  return CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y, width, height,
                         nullptr, nullptr, instance, nullptr);
}

void SetMainWindow(HWND window) { mainWindow.store(window, std::memory_order_release); }

void ReleaseDrawingObjects() {
  SelectObject(drawing.memoryDc, drawing.savedBitmap);
  DeleteDC(drawing.memoryDc);
  DeleteObject(drawing.picture);
  DeleteObject(drawing.lampBrush);
  drawing = Drawing{};
}

void UpdateLamp() {
  // Before the window is recorded, its first paint shows the key as it is.
  HWND window = mainWindow.load(std::memory_order_acquire);
  if (window == nullptr || lampMessagePosted.exchange(true, std::memory_order_acq_rel)) return;
  if (!PostMessageA(window, kLampChanged, 0, 0)) lampMessagePosted.store(false, std::memory_order_release);
}
