#pragma once
// The lamp on the main window shows whether the key is down (`keyed`). The
// keying controller calls UpdateLamp after each change of `keyed`, on
// whichever thread reported the key; it returns at once, without waiting for
// the window's thread, which alone paints.

void UpdateLamp();
