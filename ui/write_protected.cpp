// The prompt for a file whose deletion was refused: Yes, Yes to all, No,
// No to all. It only asks; the caller acts on the answer.
#include "uninstall_info/process_state.h"
#include "ui/ui.h"
#include "uninstall_info/uninstall_info.h"

int AskWriteProtected(const char* path) {
  char* message;
  if (!AllocZeroed(MESSAGE_BUFFER_SIZE, &message)) return IDNO;
  FormatMessageText(message, STR_WRITE_PROTECTED, path);
  INT_PTR result = DialogBoxParamA(InstanceHandle, MAKEINTRESOURCEA(IDD_WRITE_PROTECTED), OwnerWindow,
                                   WriteProtectedDialogProc, (LPARAM)message);
  int answer = result == -1 ? IDNO : (int)result;
  FreeAndClear(&message);
  return answer;
}

INT_PTR CALLBACK WriteProtectedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      ApplyDialogFont(dialog);
      SetWindowTextA(dialog, LookupString(0, STR_CAPTION));
      SetDlgItemTextA(dialog, IDC_MESSAGE, (LPCSTR)lParam);
      SetDlgItemTextA(dialog, IDYES, LookupString(0, STR_YES));
      SetDlgItemTextA(dialog, IDNO, LookupString(0, STR_NO));
      SetDlgItemTextA(dialog, IDC_YES_ALL, LookupString(0, STR_YES_ALL));
      SetDlgItemTextA(dialog, IDC_NO_ALL, LookupString(0, STR_NO_ALL));
      return 1;  // focus to the first tab stop, the Yes button
    case WM_COMMAND:
      EndDialog(dialog, LOWORD(wParam));
      return 1;
    default:
      return DialogColorHandler(dialog, message, wParam, lParam);
  }
}
