#include "boot/sequence.h"

int main() { boot_main(); }
