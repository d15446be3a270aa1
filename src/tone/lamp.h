#pragma once
// The lamp on the main window shows `keyed`. With the straight key the
// keying controller calls UpdateLamp after each change of `keyed`, on
// whichever thread reported the key; in the keyer modes the lamp thread does,
// as the keying it follows changes. It returns at once, without waiting for
// the window's thread, which alone paints.

void UpdateLamp();
