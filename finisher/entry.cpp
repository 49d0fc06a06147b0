// Process entry of the finisher, a console program linked like the stub:
// without the C runtime's start-up files, so nothing runs before this.
#include "finisher/finish.h"

extern "C" void mainCRTStartup(void) { ExitProcess((UINT)RunFinisher()); }
