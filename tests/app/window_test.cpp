// The real main window, with the real key port and monitor thread over the
// simulated serial device. This thread owns the window, as the GUI thread
// does in the program; where the tone is heard it also plays the audio
// thread, filling the generator call by call over the scripted library.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/lamp_follower.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "audio/audio_output.h"
#include "audio_host_double.h"
#include "keyport/key_port.h"
#include "keyport/port_monitor.h"
#include "log/debug_log.h"
#include "log_body.h"
#include "scratch_directory.h"
#include "simulated_serial_port.h"
#include "tone/fill_buffer.h"
#include "tone/keyer.h"
#include "tone/tone_generator.h"

namespace {

constexpr COLORREF kLampGreen = RGB(0, 255, 0);
constexpr POINT kLampCentre{20, 227};
// 21 edges 10 ms apart keep the window thread busy for about 200 ms, and the
// last one leaves the key down.
constexpr int kEdges = 21;
constexpr DWORD kEdgeGapMs = 10;
constexpr double kPromptMs = 1.0;
// Far below the window thread's busy time, which a monitor held up by the
// window would add to an edge.
constexpr double kGenerousMs = 50.0;

double Milliseconds(LONGLONG counts) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(counts) / static_cast<double>(frequency.QuadPart);
}

// How late an edge's key stamp came after the device completed the
// monitor's wait, and how much of that passed before the monitor was back
// from the wait: the scheduler's part and the device's, not the monitor's.
struct EdgeTiming {
  double stampMs;
  double wakeMs;
};

bool KeyedWithin10s(bool keyed) {
  for (int slept = 0; appState.keyed.load() != keyed; ++slept) {
    if (slept == 10000) return false;
    Sleep(1);
  }
  return true;
}

void HandleWaitingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// A message to the window as the keyboard or the focus sends it. The key
// messages carry the system's flags: the scan code and a repeat count of 1,
// bit 24 for Right Ctrl and the arrows, bit 29 with Alt held, bit 30 when the
// key was down already (a repeat, a key-up), bit 31 on a key-up.
struct Event {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

constexpr Event kLeftCtrlDown{WM_KEYDOWN, VK_CONTROL, 0x001D0001};
constexpr Event kLeftCtrlUp{WM_KEYUP, VK_CONTROL, 0xC01D0001};
constexpr Event kLeftCtrlUpUnderAlt{WM_SYSKEYUP, VK_CONTROL, 0xE01D0001};
constexpr Event kRightCtrlDown{WM_KEYDOWN, VK_CONTROL, 0x011D0001};
constexpr Event kRightCtrlUp{WM_KEYUP, VK_CONTROL, 0xC11D0001};
constexpr Event kSpaceDown{WM_KEYDOWN, VK_SPACE, 0x00390001};
constexpr Event kSpaceUp{WM_KEYUP, VK_SPACE, 0xC0390001};
constexpr Event kUp{WM_KEYDOWN, VK_UP, 0x01480001};
constexpr Event kUpRepeat{WM_KEYDOWN, VK_UP, 0x41480001};
constexpr Event kDown{WM_KEYDOWN, VK_DOWN, 0x01500001};
constexpr Event kDownRepeat{WM_KEYDOWN, VK_DOWN, 0x41500001};
constexpr Event kFocusLost{WM_KILLFOCUS, 0, 0};
constexpr Event kAppDeactivated{WM_ACTIVATEAPP, FALSE, 0};

// The band at the top of the client area where the keyer's label goes.
constexpr int kBandWidth = 330;
constexpr int kBandHeight = 30;
constexpr WORD kPictureId = 102;

std::vector<COLORREF> BandOf(HDC dc) {
  std::vector<COLORREF> pixels;
  for (int y = 0; y < kBandHeight; ++y) {
    for (int x = 0; x < kBandWidth; ++x) pixels.push_back(GetPixel(dc, x, y));
  }
  return pixels;
}

std::vector<COLORREF> BandOfThePicture() {
  const HBITMAP picture = static_cast<HBITMAP>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kPictureId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  const HDC dc = CreateCompatibleDC(nullptr);
  const HGDIOBJ saved = SelectObject(dc, picture);
  std::vector<COLORREF> pixels = BandOf(dc);
  SelectObject(dc, saved);
  DeleteDC(dc);
  DeleteObject(picture);
  return pixels;
}

// The lines "Keyer speed: ..." of the debug log.
std::vector<std::string> SpeedLines() {
  std::vector<std::string> lines;
  for (const std::string& line : LogBody()) {
    if (line.rfind("Keyer speed:", 0) == 0) lines.push_back(line);
  }
  return lines;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    settings = Settings{};  // COM1, DSR, no debounce, straight
  }

  void TearDown() override {
    Close();
    audioHost = AudioHost{};
    settings = saved_;
  }

  // Creates the window with the settings as they are, as the program does.
  void Open() {
    const int waitsBefore = port_.Calls(PortCall::WaitCommEvent);
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(RegisterMainWindowClass(instance));
    window_ = CreateMainWindow(instance);
    ASSERT_NE(window_, nullptr);
    SetMainWindow(window_);
    UpdateWindow(window_);
    ASSERT_NE(keyPort, nullptr);
    ASSERT_TRUE(port_.WaitForCalls(PortCall::WaitCommEvent, waitsBefore + 1));
  }

  // The window over the scripted library, whose channel this thread fills.
  // Without a rise or a fall, so that a mark sounds for its length.
  void OpenWithTone(KeyerMode mode, int32_t speed = 20) {
    settings.keyer = mode;
    settings.keyerSpeed = speed;
    settings.riseTime = 0;
    settings.fallTime = 0;
    AudioHostScript script;
    script.names = {"scripted"};
    script.deviceCount = 1;
    audioHost = ScriptedAudioHost(script);
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(Generator().channelReady);
  }

  // The focus goes, then the program's shutdown, then the window goes.
  void Close() {
    if (window_ == nullptr) return;
    SendMessageA(window_, WM_KILLFOCUS, 0, 0);
    CloseKeyPort();
    StopLampFollower();
    CloseAudioOutput();
    CloseDebugLog();
    ReleaseDrawingObjects();
    SetMainWindow(nullptr);
    DestroyWindow(window_);
    window_ = nullptr;
    UnregisterClassA("Velkin", GetModuleHandleA(nullptr));
  }

  ToneGenerator& Generator() const { return *appState.toneGenerator; }

  void Send(const std::vector<Event>& events) const {
    for (const Event& event : events) SendMessageA(window_, event.message, event.wParam, event.lParam);
  }

  std::vector<COLORREF> BandAsShown() const {
    HandleWaitingMessages();
    UpdateWindow(window_);
    const HDC dc = GetDC(window_);
    std::vector<COLORREF> pixels = BandOf(dc);
    ReleaseDC(window_, dc);
    return pixels;
  }

  // Fills the generator, call by call as the audio thread does, for at least
  // `frames` more frames.
  void Play(int64_t frames) {
    const ToneParameters& params = Generator().params;
    std::vector<int16_t> call(static_cast<std::size_t>(params.samplesPerCall));
    for (int64_t played = 0; played < frames; played += params.samplesPerCall / 2) {
      FillBuffer(call.data(), static_cast<uint32_t>(call.size()), &Generator());
    }
  }

  // A keyer unit at the speed in the settings, in frames.
  double Unit() const { return Generator().params.sampleRate * 1.2 / settings.keyerSpeed; }

  // Plays until the tone has been silent for four units, at most 40 units,
  // and returns the length in frames of each mark heard: from its first
  // sample that is not zero to its last, across the zeros of its waves.
  std::vector<int64_t> PlayMarks() {
    const ToneParameters& params = Generator().params;
    const auto quiet = static_cast<int64_t>(4 * Unit());
    const auto most = static_cast<int64_t>(40 * Unit());
    // Longer than a wave's zero crossing, shorter than any space.
    const int64_t bridged = params.sampleRate / 1000;
    std::vector<int16_t> call(static_cast<std::size_t>(params.samplesPerCall));
    std::vector<int64_t> marks;
    int64_t start = -1;
    int64_t last = 0;
    for (int64_t at = 0; at < most && (start >= 0 || at - last < quiet);) {
      FillBuffer(call.data(), static_cast<uint32_t>(call.size()), &Generator());
      for (int32_t frame = 0; frame < params.samplesPerCall / 2; ++frame, ++at) {
        if (call[static_cast<std::size_t>(frame)] != 0) {
          if (start < 0) start = at;
          last = at;
        } else if (start >= 0 && at - last > bridged) {
          marks.push_back(last - start + 1);
          start = -1;
        }
      }
    }
    if (start >= 0) marks.push_back(last - start + 1);
    return marks;
  }

  // The marks as dits and dahs: a dah is longer than two units.
  std::string Spell(const std::vector<int64_t>& marks) const {
    std::string spelled;
    for (const int64_t mark : marks) spelled += mark > 2 * Unit() ? '-' : '.';
    return spelled;
  }

  // Makes `kEdges` edges on the line, each once the monitor waits again, and
  // times each one's stamp. Stops early if the monitor does not key or come
  // back to its wait within 10 s.
  std::vector<EdgeTiming> KeyTheLine() {
    std::vector<EdgeTiming> timings;
    for (int edge = 0; edge < kEdges; ++edge) {
      Sleep(kEdgeGapMs);
      const bool press = edge % 2 == 0;
      port_.SetModemStatus(press ? MS_DSR_ON : 0);
      // Watched without the device's lock, which the monitor takes to read
      // the line: a keyer holding it would hold up the stamp itself.
      if (!KeyedWithin10s(press) || !port_.WaitForCalls(PortCall::WaitCommEvent, edge + 2)) break;
      const LONGLONG changed = port_.CompletedAt();
      const LONGLONG stamp = press ? appState.keyDownStamp.load() : appState.keyUpStamp.load();
      timings.push_back({Milliseconds(stamp - changed), Milliseconds(port_.WaiterWokeAt() - changed)});
    }
    return timings;
  }

  COLORREF LampColour() const {
    const HDC dc = GetDC(window_);
    const COLORREF colour = GetPixel(dc, kLampCentre.x, kLampCentre.y);
    ReleaseDC(window_, dc);
    return colour;
  }

  ScratchDirectory scratch_;  // for the debug log the window opens
  SimulatedSerialPort port_;
  HWND window_ = nullptr;
  Settings saved_;
};

// Each edge is stamped within 1 ms of the line's change. One stamped later
// passes only when the machine made it so, and no later than the generous
// bound: under Wine a thread's priority is not the host's, so a wake now and
// then comes milliseconds late, and once in a thousand edges or so the host
// takes the processor from the monitor between its wake and its stamp. A
// late wake is the machine's; of the monitor's own part, from its wake to
// its stamp, one edge of the run may be late, which a slow keying path,
// late on every edge, cannot pass for.
TEST_F(WindowTest, ABusyWindowThreadHoldsUpNoSerialEdge) {
  ASSERT_NO_FATAL_FAILURE(Open());
  const COLORREF picture = LampColour();
  ASSERT_NE(picture, kLampGreen);
  std::vector<EdgeTiming> timings;
  // This thread, which owns the window, handles no message until the keying
  // is done.
  std::thread keyer([&] { timings = KeyTheLine(); });
  keyer.join();

  ASSERT_EQ(static_cast<int>(timings.size()), kEdges) << "the monitor stopped waiting for the line";
  double worst = 0;
  std::string lateOwnParts;
  for (std::size_t edge = 0; edge < timings.size(); ++edge) {
    const EdgeTiming& timing = timings[edge];
    worst = std::max(worst, timing.stampMs);
    EXPECT_LE(timing.stampMs, kGenerousMs) << "edge " << edge;
    if (timing.stampMs > kPromptMs && timing.stampMs - timing.wakeMs > kPromptMs) {
      lateOwnParts += " edge " + std::to_string(edge) + ": " + std::to_string(timing.stampMs) + " ms, woke after " +
                      std::to_string(timing.wakeMs) + " ms;";
    }
  }
  EXPECT_LE(std::count(lateOwnParts.begin(), lateOwnParts.end(), ';'), 1) << lateOwnParts;
  std::fprintf(stderr, "line change to stamp with the window thread busy: worst %.3f ms\n", worst);

  // The lamp is left to the window, which shows the key as it is now.
  EXPECT_EQ(LampColour(), picture);
  HandleWaitingMessages();
  EXPECT_EQ(LampColour(), kLampGreen);
  port_.SetModemStatus(0);
  ASSERT_TRUE(port_.WaitForCalls(PortCall::WaitCommEvent, kEdges + 2));
  HandleWaitingMessages();
  EXPECT_EQ(LampColour(), picture);
}

// In the straight mode both Ctrl keys are straight keys like the space bar.
// The keyboard's straight keys act as one key, held while any of them is;
// the focus going releases every one held here, as does a key-up with Alt
// held.
TEST_F(WindowTest, InTheStraightModeTheCtrlKeysAreStraightKeys) {
  struct Row {
    const char* what;
    std::vector<Event> events;
    bool keyed;
  };
  const Row rows[] = {
      {"Left Ctrl pressed", {kLeftCtrlDown}, true},
      {"Right Ctrl pressed", {kRightCtrlDown}, true},
      {"Left Ctrl released", {kLeftCtrlDown, kLeftCtrlUp}, false},
      {"Right Ctrl released", {kRightCtrlDown, kRightCtrlUp}, false},
      {"Left Ctrl released with Alt held", {kLeftCtrlDown, kLeftCtrlUpUnderAlt}, false},
      {"space released while Left Ctrl holds", {kSpaceDown, kLeftCtrlDown, kSpaceUp}, true},
      {"Right Ctrl released while space holds", {kSpaceDown, kRightCtrlDown, kRightCtrlUp}, true},
      {"focus gone with both Ctrl keys and space held", {kLeftCtrlDown, kRightCtrlDown, kSpaceDown, kFocusLost}, false},
      {"program deactivated with Right Ctrl held", {kRightCtrlDown, kAppDeactivated}, false},
  };
  ASSERT_NO_FATAL_FAILURE(Open());
  for (const Row& row : rows) {
    Send(row.events);
    EXPECT_EQ(appState.keyed.load(), row.keyed) << row.what;
    Send({kFocusLost});
  }
}

// In the keyer modes Left Ctrl is the dit paddle and Right Ctrl the dah
// paddle, and the space bar stays a straight key. A paddle closed and opened
// before the next fill call gives the one element of its memory; one left
// closed gives elements without end. The focus going releases the paddles
// held here, as does a key-up with Alt held.
TEST_F(WindowTest, InTheKeyerModesTheCtrlKeysAreThePaddles) {
  struct Row {
    const char* what;
    std::vector<Event> events;
    const char* marks;
  };
  const Row rows[] = {
      {"Left Ctrl tapped", {kLeftCtrlDown, kLeftCtrlUp}, "."},
      {"Right Ctrl tapped", {kRightCtrlDown, kRightCtrlUp}, "-"},
      {"Left Ctrl released with Alt held", {kLeftCtrlDown, kLeftCtrlUpUnderAlt}, "."},
      {"focus gone with Left Ctrl held", {kLeftCtrlDown, kFocusLost}, "."},
      {"program deactivated with Right Ctrl held", {kRightCtrlDown, kAppDeactivated}, "-"},
      {"focus gone with both Ctrl keys held", {kLeftCtrlDown, kRightCtrlDown, kFocusLost}, ".-"},
      {"space held: one tone to the end of the playing", {kSpaceDown}, "-"},
  };
  ASSERT_NO_FATAL_FAILURE(OpenWithTone(KeyerMode::IambicA));
  for (const Row& row : rows) {
    Send(row.events);
    EXPECT_EQ(Spell(PlayMarks()), row.marks) << row.what;
    Send({kFocusLost});
    PlayMarks();
  }
}

// In the keyer modes Up and Down change the speed by one word per minute,
// also as they repeat, within 5 to 60: the next element has the new speed,
// the log a line for each change, and the label shows it. The straight mode
// has neither a speed to change nor a label.
TEST_F(WindowTest, UpAndDownSetTheKeyerSpeed) {
  struct Row {
    int32_t speed;
    std::vector<Event> events;
    int32_t speedAfter;
    std::vector<std::string> logged;
  };
  const Row rows[] = {
      {20, {kUp}, 21, {"Keyer speed: 21"}},
      {20, {kDown, kDownRepeat, kDownRepeat}, 17, {"Keyer speed: 19", "Keyer speed: 18", "Keyer speed: 17"}},
      {59, {kUp, kUpRepeat}, 60, {"Keyer speed: 60"}},
      {6, {kDown, kDownRepeat}, 5, {"Keyer speed: 5"}},
  };
  const std::vector<COLORREF> picture = BandOfThePicture();
  ASSERT_NO_FATAL_FAILURE(OpenWithTone(KeyerMode::IambicB));
  const std::vector<std::string> created = SpeedLines();
  EXPECT_EQ(created, std::vector<std::string>{"Keyer speed: 20"}) << "the keyer's settings, logged at creation";
  for (const Row& row : rows) {
    SCOPED_TRACE("from " + std::to_string(row.speed));
    settings.keyerSpeed = row.speed;
    SetKeyerSpeed(Generator(), row.speed);
    InvalidateRect(window_, nullptr, FALSE);
    const std::vector<COLORREF> before = BandAsShown();
    const std::size_t linesBefore = SpeedLines().size();
    Send(row.events);
    EXPECT_EQ(settings.keyerSpeed, row.speedAfter);
    const std::vector<std::string> lines = SpeedLines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore), lines.end()),
              row.logged);
    EXPECT_TRUE(before != picture) << "no label";
    EXPECT_TRUE(BandAsShown() != before) << "the label was not drawn again";
    Send({kLeftCtrlDown, kLeftCtrlUp});
    const std::vector<int64_t> marks = PlayMarks();
    ASSERT_EQ(marks.size(), 1u);
    // Without a rise or a fall, a mark sounds for its length to within a wave.
    EXPECT_NEAR(static_cast<double>(marks[0]), Unit(), Generator().params.wholeWaveLength);
  }
  Close();

  ASSERT_NO_FATAL_FAILURE(OpenWithTone(KeyerMode::Straight));
  Send({kUp, kDown, kDownRepeat});
  EXPECT_EQ(settings.keyerSpeed, 20);
  EXPECT_EQ(SpeedLines(), std::vector<std::string>{});
  EXPECT_TRUE(BandAsShown() == picture) << "something drawn on the picture's band";
}

// In the keyer modes the lamp shows the tone's elements, not the paddles, and
// the follower's stop leaves it off.
TEST_F(WindowTest, InTheKeyerModesTheLampFollowsTheElements) {
  ASSERT_NO_FATAL_FAILURE(OpenWithTone(KeyerMode::IambicB));
  Send({kLeftCtrlDown});  // held: a dit, its space, the next dit
  EXPECT_FALSE(appState.keyed.load()) << "lit by the paddle";
  Play(1);  // the first dit starts
  EXPECT_TRUE(KeyedWithin10s(true));
  Play(static_cast<int64_t>(Unit()));  // past the dit's mark, into its space
  EXPECT_TRUE(KeyedWithin10s(false));
  Play(static_cast<int64_t>(Unit()));  // into the second dit
  EXPECT_TRUE(KeyedWithin10s(true));
  Close();
  EXPECT_FALSE(appState.keyed.load());
}

}  // namespace
