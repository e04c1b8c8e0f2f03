#include "tools/imagetool/imagetool.h"

int main(int argc, char** argv) { return imagetool_main(argc, argv); }
