#include "console/rescue_menu.h"

// The rescue menu is not built yet: it leaves at once as if Exit was chosen,
// and the diagnostics start reports that nothing could be started.

int rescue_menu() { return 1; }

int diags_start() { return 1; }
