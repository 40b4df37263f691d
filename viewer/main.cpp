// The program entry. SDL 1.2 on Linux has no entry shim, so main is our own.
#include "viewer/viewer.h"

int main(int argc, char** argv)
{
    return viewer_run(argc, argv);
}
