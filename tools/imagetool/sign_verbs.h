// The signing verbs of imagetool: sign, digest, attach and verify.
//
// Each takes the verb's own arguments (argv[0] is the first argument after
// the verb, argc counts them), prints its report on standard output and
// its errors on standard error, and returns IMAGETOOL_OK,
// IMAGETOOL_FAILED or IMAGETOOL_USAGE (imagetool.h). Help texts are in the
// source file, printed by --help.
//
// What the verbs share:
// - The signature of a component is the last tag-3 record of its version-3
//   header: a 16-bit signature length, then an RSASSA-PKCS1-v1_5 signature
//   with SHA-256 over the payload only (header bytes excluded).
// - --component N (index from 0, as `info` counts) and --type T (the type
//   from the magic word) select components; both may be repeated and the
//   selection is their union. A component that is selected by name must be
//   usable for the verb, or the verb fails without writing anything.
// - sign and attach replace every signature record of the component by one
//   new record after the other records (which keep their order and bytes),
//   keep the magic word and header bytes 20-21 as they were, recompute len,
//   the header length and the CRC, and copy every other component and any
//   trailing bytes unchanged. They refuse a component whose CRC is wrong or
//   whose records are malformed, so signing never hides damage.
// - Output files are written under a temporary name and renamed into place;
//   without -o, sign and attach replace FILE itself.
#pragma once

int cmd_sign(int argc, char** argv);
int cmd_digest(int argc, char** argv);
int cmd_attach(int argc, char** argv);
int cmd_verify(int argc, char** argv);
