// Resource and control ids, shared by the resource script and the code.
#pragma once

#define IDI_MAIN 800
#define IDD_WRITE_PROTECTED 109
#define IDC_MESSAGE 1000
#define IDC_YES_ALL 1001
#define IDC_NO_ALL 1002
