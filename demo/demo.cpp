// Demonstration of the card reader/writer host software on the simulated Windows platform.
#include <cstdio>

int main()
{
    std::printf("Card reader/writer demo: the simulated platform is not built yet.\n");
    return 0;
}
