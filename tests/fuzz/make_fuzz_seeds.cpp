// Writes the fuzzer's starting corpus into the folder named on the command line.

#include <cstdio>
#include <exception>
#include <string>

#include "FuzzSeeds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    try {
        for (const kiva::fuzz::Seed& seed : kiva::fuzz::SeedArchives()) {
            kiva::sample::WriteFile(std::string(argv[1]) + "/" + seed.fileName, seed.image.bytes);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
