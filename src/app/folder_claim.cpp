#include "app/folder_claim.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <string>

namespace {

// What the holder of a folder publishes to later starts, in memory shared by
// every process of the session that names the same folder.
struct FolderHolder {
  uint32_t processId;  // 0 until the holder has written it
  uint32_t closing;    // 1 once the holder's message loop has ended
};

using SharedWord = std::atomic_ref<uint32_t>;
static_assert(SharedWord::is_always_lock_free, "shared between processes");

// How long a later start waits for a holder that shows no window yet (still
// starting) or is shutting down.
constexpr ULONGLONG kWaitForHolderMs = 10000;
constexpr DWORD kPollMs = 50;

FolderHolder* holder = nullptr;

// The working folder as the file system knows it (links, short names and
// substituted drives resolved), upper-cased as Windows compares paths.
std::wstring WorkingFolder() {
  HANDLE folder = CreateFileW(L".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return {};
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()), 0);
  if (length >= path.size()) {
    path.resize(length);
    length = GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()), 0);
  }
  CloseHandle(folder);
  path.resize(length < path.size() ? length : 0);
  CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

// Object names are short and may not hold a backslash, so they carry a hash
// of the folder (64-bit FNV-1a over its UTF-16 units).
std::wstring ObjectName(const std::wstring& folder, const wchar_t* kind) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : folder) {
    hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
  }
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\Velkin-%016llx-%ls", static_cast<unsigned long long>(hash), kind);
  return name;
}

bool Acquired(DWORD waitResult) { return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED; }

void Hold() {
  SharedWord(holder->processId).store(GetCurrentProcessId(), std::memory_order_release);
  SharedWord(holder->closing).store(0, std::memory_order_release);
}

struct WindowSearch {
  DWORD processId;
  HWND found;
};

// Stops at the first visible top-level window of the process, the one
// highest in the z-order: the main window, or a box it is showing.
BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<WindowSearch*>(context);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId != search.processId || !IsWindowVisible(window)) return TRUE;
  search.found = window;
  return FALSE;
}

HWND VisibleWindowOf(DWORD processId) {
  WindowSearch search{processId, nullptr};
  if (processId != 0) EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void BringToFront(HWND window) {
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}

// Waits for the holder to show a window, which it brings to the front, or to
// end, which leaves the folder to this start. True when this start holds the
// folder now; false when it handed over (or gave up waiting).
bool WaitForHolder(HANDLE ownership) {
  const ULONGLONG deadline = GetTickCount64() + kWaitForHolderMs;
  for (;;) {
    if (Acquired(WaitForSingleObject(ownership, kPollMs))) return true;
    if (SharedWord(holder->closing).load(std::memory_order_acquire) == 0) {
      HWND window = VisibleWindowOf(SharedWord(holder->processId).load(std::memory_order_acquire));
      if (window != nullptr) {
        BringToFront(window);
        return false;
      }
    }
    if (GetTickCount64() >= deadline) return false;
  }
}

}  // namespace

bool ClaimWorkingFolder() {
  const std::wstring folder = WorkingFolder();
  if (folder.empty()) return true;
  // The handles stay open for the life of the process: the mutex's owner is
  // the main thread, and the system releases it when that thread ends.
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(FolderHolder),
                                      ObjectName(folder, L"holder").c_str());
  if (mapping == nullptr) return true;
  auto* shared = static_cast<FolderHolder*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(FolderHolder)));
  HANDLE ownership = CreateMutexW(nullptr, FALSE, ObjectName(folder, L"owner").c_str());
  if (shared == nullptr || ownership == nullptr) return true;
  holder = shared;
  const bool claimed = Acquired(WaitForSingleObject(ownership, 0)) || WaitForHolder(ownership);
  if (claimed) Hold();
  return claimed;
}

void LeaveWorkingFolder() {
  if (holder != nullptr) SharedWord(holder->closing).store(1, std::memory_order_release);
}
