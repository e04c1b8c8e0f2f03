// The key verbs of imagetool: keygen makes a signing key the switch accepts,
// getpub writes a private key's public half in the exact form the boot
// manager's build takes. Same conventions as the signing verbs
// (sign_verbs.h): the verb's own arguments, IMAGETOOL_* results.
#pragma once

int cmd_keygen(int argc, char** argv);
int cmd_getpub(int argc, char** argv);
