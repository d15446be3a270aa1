#pragma once
// The one window: the picture of the key, the lamp in its lower left corner,
// the space bar and the Ctrl keys as keys of the keyboard's own (in the keyer
// modes the Ctrl keys are the paddles, Up and Down set the speed, and a label
// shows the mode and speed), and Escape to quit. Creating the window brings
// the keying machinery up: the debug log, the audio output, the lamp follower
// of the keyer modes and the key port.

#include <windows.h>

// Registers the window class "Velkin". False when the system refuses it.
bool RegisterMainWindowClass(HINSTANCE instance);

// Creates the window, centred on the desktop with a client area the size of
// the picture, and runs the creation sequence inside. Null on failure.
HWND CreateMainWindow(HINSTANCE instance);

// Records the window once its creation has returned. Until then message boxes
// raised during creation have no owner, and a key-up leaves the lamp to the
// window's first paint.
void SetMainWindow(HWND window);

// Releases the window's drawing objects, once nothing can paint any more:
// the message loop has ended.
void ReleaseDrawingObjects();
