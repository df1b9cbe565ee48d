// Replays the fuzzer's seed inputs and every input that once broke the
// server (fuzz/regressions/) through the fuzz driver, which checks the
// connection records, the pending list and the output queues after every
// step.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../fuzz/driver.h"

namespace {

namespace fs = std::filesystem;

const fs::path fuzz_dir = fs::path(__FILE__).parent_path().parent_path() / "fuzz";

// Returns how many files the directory held.
int replay_all(const fs::path& dir)
{
    int count = 0;
    if (!fs::is_directory(dir))
        return 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (const char* broken = fuzz::run(input.data(), input.size()))
            ADD_FAILURE() << entry.path() << ": " << broken;
        ++count;
    }
    return count;
}

TEST(FuzzReplay, SeedsAndFoundInputsKeepInvariants)
{
    EXPECT_GE(replay_all(fuzz_dir / "corpus"), 5);
    EXPECT_GE(replay_all(fuzz_dir / "regressions"), 1);
}

}  // namespace
