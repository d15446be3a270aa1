#include <windows.h>

#include "app/message_box.h"

void ShowMessageBox(const char* text, const char* title, MessageIcon icon) {
  UINT style = MB_OK;
  if (icon == MessageIcon::Error) style |= MB_ICONERROR;
  if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
  MessageBoxA(nullptr, text, title, style);
}
