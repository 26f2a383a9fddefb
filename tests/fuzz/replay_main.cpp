// Runs a fuzz target over files and folders of inputs without libFuzzer, so
// the seed corpus and every crash kept in it replay as ordinary tests.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replay_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat info;
        if (stat(argv[i], &info) != 0) continue;
        if (!S_ISDIR(info.st_mode)) {
            inputs += replay_file(argv[i]);
            continue;
        }
        DIR* folder = opendir(argv[i]);
        while (dirent* item = readdir(folder)) {
            if (item->d_name[0] != '.') inputs += replay_file(std::string(argv[i]) + "/" + item->d_name);
        }
        closedir(folder);
    }
    printf("replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
