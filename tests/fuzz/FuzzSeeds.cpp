#include "FuzzSeeds.h"

namespace kiva::fuzz {

namespace {

using sample::EntryPlan;
using sample::Plan;

std::vector<EntryPlan> SiteEntries() {
    std::string config(2872, '\0');
    for (std::size_t i = 0; i < config.size(); i += 97) {
        config[i] = static_cast<char>(i & 0x7F);
    }
    return {
        {"", "index.html", "<html><head><title>Home</title></head><body>Hello</body></html>",
         sample::kCompressed},
        {"ui\\", "common.js", "function f(a){return a*2;}\n", sample::kStored},
        {"ui\\", "empty.css", "", sample::kStored},
        {"ui\\", "empty.js", "", sample::kCompressed},
        {"static\\r07\\", "big.html", sample::SiteLikeContent(10000, 7), sample::kCompressed},
        {"", "secret.html", "<p>only with the password</p>", sample::kCompressedEncrypted},
        {"", "secret.txt", "stored and enciphered", sample::kStoredEncrypted},
        {"", "odd.bin", "method seven is copied", 7},
        {"", "-config-", config, sample::kStored},
        {"", "-logo-", std::string(766, '\x01'), sample::kCompressed},
    };
}

Seed Make(std::string fileName, Plan plan) {
    sample::Image image = sample::Build(plan);
    return Seed{std::move(fileName), std::move(plan), std::move(image)};
}

} // namespace

std::vector<Seed> SeedArchives() {
    std::vector<Seed> seeds;

    Plan full;
    full.entries = SiteEntries();
    seeds.push_back(Make("v2-compressed-directory.kvb", full));

    Plan raw = full;
    raw.compressDirectory = false;
    seeds.push_back(Make("v2-raw-directory.kvb", raw));

    Plan hosted = full;
    hosted.host = std::string("\x7F"
                              "ELF",
                              4) +
                  std::string(300, '\x90');
    seeds.push_back(Make("v2-behind-host.kvb", hosted));

    Plan v1;
    v1.version = 1;
    v1.compressDirectory = false;
    for (const EntryPlan& e : SiteEntries()) {
        // The old layout has no room for an encrypted size.
        if (e.method != sample::kCompressedEncrypted && e.method != sample::kStoredEncrypted) {
            v1.entries.push_back(e);
        }
    }
    seeds.push_back(Make("v1-raw-directory.kvb", v1));

    Plan v1c = v1;
    v1c.compressDirectory = true;
    seeds.push_back(Make("v1-compressed-directory.kvb", v1c));

    Plan twins;
    twins.entries = {{"Docs\\", "A.html", "first", sample::kStored},
                     {"docs\\", "a.HTML", "second", sample::kCompressed}};
    seeds.push_back(Make("v2-case-twins.kvb", twins));

    Plan empty;
    seeds.push_back(Make("v2-no-entries.kvb", empty));
    Plan emptyRaw;
    emptyRaw.compressDirectory = false;
    seeds.push_back(Make("v2-no-entries-raw.kvb", emptyRaw));

    return seeds;
}

} // namespace kiva::fuzz
