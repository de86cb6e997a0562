// Zibbet: a soft-body physics demonstration. main runs the start-up stages.
#include <cstdio>

#include "app/startup.h"

int main() {
    // Progress lines should show as they happen, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    appWorldSetup();
    return 0;
}
