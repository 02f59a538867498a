// The appliance's process entry. It reads no arguments and no environment.
#include <unistd.h>

#include <cstdio>

int main() {
    std::printf("briskbox start\n");
    std::fflush(stdout);
    for (;;) pause();
}
