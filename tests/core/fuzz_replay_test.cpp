// Replays the fuzz harnesses (tests/fuzz/*_fuzz.cpp, linked in with renamed entry points)
// on their seed corpora and on every crash input kept as a regression, so that a fault
// once found stays fixed in the ordinary test run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

extern "C" int velomar_command_line_fuzz(const std::uint8_t* data, std::size_t size);
extern "C" int velomar_stdin_reader_fuzz(const std::uint8_t* data, std::size_t size);
extern "C" int velomar_event_writer_fuzz(const std::uint8_t* data, std::size_t size);
extern "C" int velomar_mixer_fuzz(const std::uint8_t* data, std::size_t size);

namespace velomar {
namespace {

namespace fs = std::filesystem;

struct Harness {
    const char* name;
    int (*entry)(const std::uint8_t*, std::size_t);
};

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.') files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

void PrintTo(const Harness& harness, std::ostream* out) { *out << harness.name; }

class FuzzReplayTest : public ::testing::TestWithParam<Harness> {};

TEST_P(FuzzReplayTest, CorpusAndRegressionsKeepTheInvariants) {
    const Harness& harness = GetParam();
    const fs::path root = VELOMAR_FUZZ_DIR;
    const auto corpus = filesIn(root / "corpus" / harness.name);
    ASSERT_FALSE(corpus.empty()) << "no seed corpus in " << (root / "corpus" / harness.name);
    auto inputs = corpus;
    const auto regressions = filesIn(root / "regressions" / harness.name);
    inputs.insert(inputs.end(), regressions.begin(), regressions.end());

    for (const fs::path& file : inputs) {
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        try {
            harness.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (const std::exception& e) {
            ADD_FAILURE() << file << ": " << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzReplayTest,
                         ::testing::Values(Harness{"command_line", velomar_command_line_fuzz},
                                           Harness{"stdin_reader", velomar_stdin_reader_fuzz},
                                           Harness{"event_writer", velomar_event_writer_fuzz},
                                           Harness{"mixer", velomar_mixer_fuzz}),
                         [](const ::testing::TestParamInfo<Harness>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace velomar
