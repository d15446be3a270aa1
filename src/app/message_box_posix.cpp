#include <cstdio>

#include "app/message_box.h"

// The native build has no desktop: the operator reads the box on stderr.
void ShowMessageBox(const char* text, const char* title, MessageIcon) {
  std::fprintf(stderr, "%s: %s\n", title, text);
}
