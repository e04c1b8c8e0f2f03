// The rescue menu on the serial console and the diagnostics start.
#pragma once

// Runs the rescue menu. Returns 1 when the operator chooses Exit; Reboot does
// not return.
int rescue_menu();

// Starts the diagnostics image of the rescue partition when the switch is not
// secured. Returns 0 when secured, 1 when the image could not be started;
// does not return when it starts.
int diags_start();
