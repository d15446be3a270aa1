#include "lamp_double.h"

#include "app/app_state.h"
#include "tone/lamp.h"

LampDouble lamp;

void DrawLamp() {
  if (!appState.keyed.load()) ++lamp.keyedWrong;
  ++lamp.draws;
  lamp.lit = true;
  if (lamp.duringDraw) lamp.duringDraw();
}

void ClearLamp() {
  if (appState.keyed.load()) ++lamp.keyedWrong;
  ++lamp.clears;
  lamp.lit = false;
  if (lamp.duringClear) lamp.duringClear();
}
