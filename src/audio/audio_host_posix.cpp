#include "audio/audio_host.h"

// There is no audio-host library on this platform: the program runs as with
// no device.
bool LoadAudioHost() { return false; }
