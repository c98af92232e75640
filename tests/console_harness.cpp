#include "tests/console_harness.h"

#include "app/console.h"
#include "samples/samples.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace {

std::string scratchDirectory()
{
    static std::string dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "ym2608-unit-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return dir;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Points one of the standard descriptors at a file until restored.
struct Redirect {
    int fd;
    int saved;
    std::string path;

    Redirect(int which, const std::string& file) : fd(which), saved(dup(which)), path(file)
    {
        std::filesystem::remove(path); // it may belong to another user
        std::FILE* target = std::fopen(path.c_str(), "wb");
        dup2(fileno(target), fd);
        std::fclose(target);
    }
    std::string restore()
    {
        dup2(saved, fd);
        close(saved);
        return slurp(path);
    }
};

} // namespace

ConsoleRun runConsoleWith(std::string_view input)
{
    const std::string dir = scratchDirectory();
    const std::string inPath = dir + "/stdin";
    {
        std::filesystem::remove(inPath);
        std::ofstream in(inPath, std::ios::binary);
        in.write(input.data(), static_cast<std::streamsize>(input.size()));
    }
    if (std::freopen(inPath.c_str(), "rb", stdin) == nullptr) {
        ADD_FAILURE() << "cannot feed standard input";
        return {};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    Redirect out(STDOUT_FILENO, dir + "/stdout");
    Redirect err(STDERR_FILENO, dir + "/stderr");
    runConsole();
    std::fflush(stdout);
    std::fflush(stderr);
    ConsoleRun run;
    run.err = err.restore();
    run.out = out.restore();
    return run;
}

Bytes patternBytes(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + seed) & 0xFF);
    }
    return bytes;
}

std::string scratchFile(const std::string& name, const Bytes& bytes)
{
    const std::string path = scratchDirectory() + "/" + name;
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string scratchFile(const std::string& name, std::size_t size)
{
    return scratchFile(name, patternBytes(size));
}

void ConsoleTest::SetUp()
{
    resetFakeBoard();
    clearSlotTable();
}
