#pragma once
// A modal message box with no owner window and an OK button.

enum class MessageIcon { None, Error, Warning };

void ShowMessageBox(const char* text, const char* title, MessageIcon icon);
