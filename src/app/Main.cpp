#include <cstdio>

// The application object is not built yet; until it is, the program says so
// instead of pretending to run.
int main()
{
    std::fputs ("Corvelline 1.0.0: the application is not complete yet.\n", stderr);
    return 1;
}
