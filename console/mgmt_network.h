// Configuration of the management Ethernet port eth0.
#pragma once

// Asks for the port's settings (offering DHCP when `offerDhcp`) and applies
// them. Returns the result of the step that ended it (1 success, 0 failure).
int mgmt_network_setup(bool offerDhcp);
