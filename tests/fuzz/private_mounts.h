// A private file-system world for fuzz targets that reach the fixed paths of
// the code under test (/tmp, /mnt/usb, /user): the process moves into its own
// mount namespace, where those paths are fresh, empty, memory-backed file
// systems that vanish with the process. Nothing the target writes there
// reaches the machine's own folders.
#pragma once

// Sets the world up; call once, before the first input (LLVMFuzzerInitialize).
// Runs as root or, where unprivileged user namespaces are allowed, as any
// user. Prints why and aborts when the world cannot be made: the target must
// never run against the real folders. Corpus and artifact paths, and TMPDIR
// (where libFuzzer keeps a merge's control file), must not lie under /tmp,
// which is hidden afterwards.
void fuzz_enter_private_mounts();
