// The program's dialog in the button-face colour with a normal-weight font.
#include "ui/ui.h"

IMAGE_DATA HBRUSH DialogBrush;
IMAGE_DATA HFONT DialogFont;

void CreateDialogBrush(void) {
  HBRUSH brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  if (!brush) brush = (HBRUSH)GetStockObject(LTGRAY_BRUSH);
  DialogBrush = brush;
}

// Made once from the dialog's own font with only the weight changed, then
// given to every control of this and every later dialog.
void ApplyDialogFont(HWND dialog) {
  if (!DialogFont) {
    HFONT templateFont = (HFONT)SendMessageA(dialog, WM_GETFONT, 0, 0);
    LOGFONTA font;
    if (templateFont && GetObjectA(templateFont, sizeof(font), &font)) {
      font.lfWeight = FW_NORMAL;
      DialogFont = CreateFontIndirectA(&font);
    }
    if (!DialogFont) return;
  }
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageA(child, WM_SETFONT, (WPARAM)DialogFont, 0);
}

INT_PTR DialogColorHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)window;
  (void)lParam;
  switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      SetBkColor((HDC)wParam, GetSysColor(COLOR_BTNFACE));
      return (INT_PTR)DialogBrush;
    default:
      return 0;
  }
}

void ReleaseDialogObjects(void) {
  if ((HGDIOBJ)DialogBrush != GetStockObject(LTGRAY_BRUSH)) DeleteObject(DialogBrush);
  if (DialogFont) DeleteObject(DialogFont);
}
