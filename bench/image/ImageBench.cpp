// BuildImage and CheckImage over the shipped catalogue (the databases beside this program),
// and a worst case for the storage layer: a tag rewritten until the area must be compacted.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "image/BuildImage.h"
#include "image/CheckImage.h"
#include "image/NvdsArea.h"

namespace {

using namespace nvds;

struct Catalogue {
    RecordingPrompter prompter;
    CNvdsConfig config{prompter};
    TagTable table;

    Catalogue() {
        if (!config.LoadTagDb(config.GetSysDbPath(), table) ||
            !config.LoadTagDb(config.GetUserDbPath(), table)) {
            std::fprintf(stderr, "image_bench: the tag databases beside it did not load\n");
            std::exit(1);
        }
        for (TagEntry& entry : table) {
            if (entry.IsDefined()) {
                entry.valueText = entry.def.defaultText;
            }
        }
    }
};

Catalogue& Shipped() {
    static Catalogue catalogue;
    return catalogue;
}

void BM_BuildImage(benchmark::State& state) {
    Catalogue& catalogue = Shipped();
    NvdsImage image;
    std::string invalid;
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildImage(catalogue.table, image, invalid));
    }
}
BENCHMARK(BM_BuildImage);

void BM_CheckImage(benchmark::State& state) {
    Catalogue& catalogue = Shipped();
    NvdsImage image;
    std::string invalid;
    BuildImage(catalogue.table, image, invalid);
    TagTable table = catalogue.table;
    bool clean = true;
    for (auto _ : state) {
        const ImageCheck check = CheckImage(table, image);
        clean = clean && check.problems.empty() && check.notices.empty();
        benchmark::DoNotOptimize(check.result);
    }
    if (!clean) {
        state.SkipWithError("the built image did not check clean");
    }
}
BENCHMARK(BM_CheckImage);

// Each put supersedes the previous value; about every 40th put compacts the area.
void BM_PutTagWithCompaction(benchmark::State& state) {
    NvdsImage image = ErasedImage();
    NvdsArea area(image);
    area.WriteMagic();
    std::vector<uint8_t> value(96, 0);
    for (auto _ : state) {
        ++value[0];
        benchmark::DoNotOptimize(area.PutTag(7, static_cast<uint16_t>(value.size()), value.data()));
    }
}
BENCHMARK(BM_PutTagWithCompaction);

}  // namespace

BENCHMARK_MAIN();
