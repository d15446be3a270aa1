#pragma once
// Brings the audio path up during window creation and down at shutdown.

#include <cstdint>

struct ToneGenerator;

// Opens the configured device and starts playback with FillBuffer; the
// outcome is generator.channelReady and the log. `window` receives the
// library's sample-rate-change message.
void OpenAudioOutput(ToneGenerator& generator, void* window);
// Lists the devices in the log. False when there is none.
bool EnumerateDevices(int32_t& deviceCount);
// Closes the channel, shuts the library down and logs the buffer count, then
// frees appState.toneGenerator, unless a port monitor or lamp thread that
// outlived shutdown may still touch it (appState.threadOutlived).
void CloseAudioOutput();
