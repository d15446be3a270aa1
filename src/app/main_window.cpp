#include "app/main_window.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "app/app_state.h"
#include "app/lamp_follower.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "asiohost.h"
#include "audio/audio_output.h"
#include "keyport/key_port.h"
#include "log/debug_log.h"
#include "tone/key_clock.h"
#include "tone/keyer.h"
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
// The keyer's mode and speed, in light grey on the dark band at the top of
// the picture, above the key.
constexpr RECT kKeyerLabelRect{8, 6, kPictureWidth - 8, 24};
constexpr COLORREF kKeyerLabelColour = RGB(215, 220, 230);

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
  LogKeyerSettings();
  // The keyer's elements, not the paddles, light the lamp; it follows them
  // before the paddles on the key port can send any.
  if (settings.keyer != KeyerMode::Straight) StartLampFollower(*appState.toneGenerator);
  SetupKeyPort();
  ResetKeyClock();
}

// "iambic B  25 wpm", in the window's small system font.
void DrawKeyerLabel(HDC dc) {
  char text[32];
  std::snprintf(text, sizeof text, "%s  %d wpm", KeyerModeName(settings.keyer), static_cast<int>(settings.keyerSpeed));
  const HGDIOBJ savedFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, kKeyerLabelColour);
  RECT area = kKeyerLabelRect;
  DrawTextA(dc, text, -1, &area, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, savedFont);
}

// The picture, the lamp on it while the key is down and, in the keyer
// modes, the keyer's label.
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
  if (settings.keyer != KeyerMode::Straight) DrawKeyerLabel(dc);
  EndPaint(window, &paint);
}

// Repaints the lamp at once. The flag is cleared before the paint reads the
// key's state, so an edge after this point posts a message of its own.
void OnLampChanged(HWND window) {
  lampMessagePosted.exchange(false, std::memory_order_acq_rel);
  InvalidateRect(window, &drawing.lampRect, FALSE);
  UpdateWindow(window);
}

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

// The keyboard's paddle edges, in the form KeyPromptly takes.
void DitDown() { PaddleDown(Paddle::Dit, PaddleSource::Keyboard); }
void DitUp() { PaddleUp(Paddle::Dit, PaddleSource::Keyboard); }
void DahDown() { PaddleDown(Paddle::Dah, PaddleSource::Keyboard); }
void DahUp() { PaddleUp(Paddle::Dah, PaddleSource::Keyboard); }

// The keys that key the tone. The space bar is a straight key in every mode;
// the Ctrl keys are straight keys too in the straight mode, and in the keyer
// modes the paddles: Left Ctrl the dit, Right Ctrl the dah.
enum KeyingKey { kSpace, kLeftCtrl, kRightCtrl, kKeyingKeys };

struct KeyActions {
  void (*press)();
  void (*release)();
};

bool IsStraightKey(int key) { return key == kSpace || settings.keyer == KeyerMode::Straight; }

KeyActions ActionsOf(int key) {
  if (IsStraightKey(key)) return {KeyDown, KeyUp};
  return key == kLeftCtrl ? KeyActions{DitDown, DitUp} : KeyActions{DahDown, DahUp};
}

// The keys as this window saw them. Only the GUI thread touches these.
struct Keyboard {
  bool held[kKeyingKeys] = {};  // a keying key's key-down came here, its key-up not yet
  bool escapePressed = false;   // an Escape key-down came here, its key-up not yet
};

Keyboard keyboard;

// Bit 30 of a key message's lParam: the key was already down before it, as in
// an auto-repeat.
constexpr LPARAM kWasDown = LPARAM{1} << 30;
// Bit 24: an extended key, which of the two Ctrl keys is the right one.
constexpr LPARAM kExtended = LPARAM{1} << 24;

// The keying key a key message is about; kKeyingKeys for any other key.
int KeyingKeyOf(WPARAM key, LPARAM flags) {
  if (key == VK_SPACE) return kSpace;
  if (key == VK_CONTROL) return (flags & kExtended) ? kRightCtrl : kLeftCtrl;
  return kKeyingKeys;
}

bool StraightKeyHeld() {
  for (int key = 0; key < kKeyingKeys; ++key) {
    if (keyboard.held[key] && IsStraightKey(key)) return true;
  }
  return false;
}

// A key already held here is repeating, which is no new press.
void Press(int key) {
  if (key == kKeyingKeys || keyboard.held[key]) return;
  keyboard.held[key] = true;
  KeyPromptly(ActionsOf(key).press, WhenSlow::Drop);
}

// Only a key pressed here is released here. The straight keys of the
// keyboard act as one key, held while any of them is, so that two fingers
// can take turns on it.
void Release(int key) {
  if (key == kKeyingKeys || !keyboard.held[key]) return;
  keyboard.held[key] = false;
  if (IsStraightKey(key) && StraightKeyHeld()) return;
  KeyPromptly(ActionsOf(key).release, WhenSlow::KeyAnyway);
}

// Up and Down set the keyer's speed a word per minute at a time, repeating
// while held; at the end of the range they change nothing.
void ChangeKeyerSpeed(HWND window, int32_t change) {
  const int32_t speed = std::clamp(settings.keyerSpeed + change, kLowestKeyerSpeed, kHighestKeyerSpeed);
  if (speed == settings.keyerSpeed) return;
  settings.keyerSpeed = speed;
  if (ToneGenerator* generator = appState.toneGenerator) SetKeyerSpeed(*generator, speed);
  LogInt("Keyer speed", speed);
  InvalidateRect(window, &kKeyerLabelRect, FALSE);
}

void OnKeyDown(HWND window, WPARAM key, LPARAM flags) {
  // Only the press itself counts: an Escape pressed elsewhere and held while
  // the focus comes here repeats into this window.
  if (key == VK_ESCAPE && !(flags & kWasDown)) keyboard.escapePressed = true;
  Press(KeyingKeyOf(key, flags));
  if (settings.keyer != KeyerMode::Straight && (key == VK_UP || key == VK_DOWN)) {
    ChangeKeyerSpeed(window, key == VK_UP ? 1 : -1);
  }
}

// Escape quits only when its press came here too: an Escape that answered a
// message box, or was pressed in another window, must not end the program.
void OnKeyUp(WPARAM key, LPARAM flags) {
  if (key == VK_ESCAPE) {
    if (keyboard.escapePressed) PostQuitMessage(0);
    keyboard.escapePressed = false;
  }
  Release(KeyingKeyOf(key, flags));
}

// The key-ups of keys held while the focus goes elsewhere go elsewhere too.
// Each keying key this window saw pressed gets its key-up here at once, so
// the tone falls and the lamp goes out; a key held on the serial line sounds
// on.
void OnFocusLost() {
  keyboard.escapePressed = false;
  for (int key = 0; key < kKeyingKeys; ++key) Release(key);
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
      OnKeyDown(window, wParam, lParam);
      break;
    case WM_KEYUP:
      OnKeyUp(wParam, lParam);
      break;
    // With Alt held a key is part of a menu shortcut, not a key; but a keying
    // key pressed before Alt and let go during it is released.
    case WM_SYSKEYUP:
      Release(KeyingKeyOf(wParam, lParam));
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
