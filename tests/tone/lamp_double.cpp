#include "lamp_double.h"

#include "app/app_state.h"
#include "tone/lamp.h"

LampDouble lamp;

void UpdateLamp() {
  const bool keyed = appState.keyed.load();
  ++(keyed ? lamp.draws : lamp.clears);
  lamp.lit = keyed;
  if (void (*during)() = keyed ? lamp.duringDraw : lamp.duringClear) during();
}
