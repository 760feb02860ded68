#include "app/widgets/Lifetime.h"

int main(int argc, char** argv) {
    // The program's start and end, in order: see Lifetime.
    Lifetime lifetime(argc, argv);
    if (!lifetime.start())
        return 0; // another program runs and took this launch's link
    lifetime.run();
}
