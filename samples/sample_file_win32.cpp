#include "samples/sample_file.h"

std::FILE* openSampleFile(const char* path)
{
    return std::fopen(path, "rb");
}
