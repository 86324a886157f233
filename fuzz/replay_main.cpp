// Runs a fuzzing harness once on every file of the folders (or on the files)
// named on the command line, without libFuzzer: the corpus and the saved
// crash inputs then replay under any compiler's sanitizers. A folder that
// does not exist is skipped; replaying nothing at all is an error. Like
// libFuzzer's -timeout, an input that runs for more than kSecondsPerInput
// ends the run as a failure.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

constexpr unsigned kSecondsPerInput = 10;

void on_alarm(int) {
    const char text[] = "input ran too long: a hang, or work out of proportion to its size\n";
    (void)!write(2, text, sizeof text - 1);
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            std::printf("skipping %s: not there\n", argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    std::signal(SIGALRM, on_alarm);
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        // Named before the run, so that a sanitizer report can be traced to its input.
        std::fprintf(stderr, "%s (%zu bytes)\n", input.c_str(), bytes.size());
        alarm(kSecondsPerInput);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        alarm(0);
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
