#pragma once
// The keying controller, where the space bar and the key line meet the tone.
// Safe to call from both key sources at once; allocates nothing, takes no
// lock and writes no log line.

void KeyDown();
void KeyUp();
