#pragma once
// The lamp on the main window. The window provides these; the keying
// controller calls them on whichever thread reports the key.

// Draws the green lamp at once.
void DrawLamp();
// Has the window repaint the picture under the lamp.
void ClearLamp();
