#include "security/system_keys.h"

// The system keys are not built yet: loading reports failure.

bool imgsign_load_system_keys() { return false; }
