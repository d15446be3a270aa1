#include <windows.h>

#include "app/settings.h"

// The settings are read by a static initializer, before WinMain and before any
// window exists, so that the missing-file box comes first.
namespace {
const bool settingsLoaded = (InitSettings(), true);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return settingsLoaded ? 0 : 1; }
