// The image-signing system keys (production and development), kept
// encrypted under /user.
#pragma once

// Loads the production key and then the development key. Returns true when
// both loaded.
bool imgsign_load_system_keys();
