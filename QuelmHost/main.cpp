#include <cstdio>

// Placeholder until the application lands: the build is complete and says so.
int main() {
    std::puts("quelmix-host: built; the application is not wired yet.");
    return 0;
}
