// Stands in for an update package: started through the shell, it leaves a
// marker file in its working directory and ends.
#include <cstdio>

int main() {
    std::FILE* marker = std::fopen("kelvane-marker.txt", "w");
    if (!marker) {
        return 1;
    }
    std::fputs("started\n", marker);
    return std::fclose(marker) == 0 ? 0 : 1;
}
