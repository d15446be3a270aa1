// The benchmark has no window: the lamp is not drawn.
#include "tone/lamp.h"

void UpdateLamp() {}
