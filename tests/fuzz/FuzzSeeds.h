#pragma once

#include <string>
#include <vector>

#include "SampleArchive.h"

namespace kiva::fuzz {

// A small, valid archive that starts the fuzzer off in every branch of the reader: both
// directory forms, both trailer versions, every storage method, empty entries and a host.
struct Seed {
    std::string fileName;
    sample::Plan plan;
    sample::Image image;
};

std::vector<Seed> SeedArchives();

} // namespace kiva::fuzz
