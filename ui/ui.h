// The write-protected prompt and the look of the program's dialog.
#pragma once

#include "platform/platform.h"
#include "ui/resource.h"

extern HBRUSH DialogBrush;
extern HFONT DialogFont;

int AskWriteProtected(const char* path);
INT_PTR CALLBACK WriteProtectedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

void CreateDialogBrush(void);
void ApplyDialogFont(HWND dialog);
INT_PTR DialogColorHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ReleaseDialogObjects(void);
