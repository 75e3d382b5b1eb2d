// Times the SHA-256 check a pinned build makes of each downloaded file (not a test):
//   karupdt_bench_sha256.exe FOLDER [ROUNDS]
// digests every file of FOLDER, ROUNDS times (default 5), and prints the median time of a round.
#include "util/sha256.h"
#include "util/text.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: karupdt_bench_sha256.exe FOLDER [ROUNDS]\n");
        return 2;
    }
    const std::string folder = WideToUtf8(argv[1]) + "\\";
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    std::vector<std::string> files;
    unsigned long long bytes = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Utf8ToWide(folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 1;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        files.push_back(folder + WideToUtf8(found.cFileName));
        bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    } while (FindNextFileW(search, &found));
    FindClose(search);

    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& file : files)
            if (!Sha256OfFile(file)) {
                std::printf("cannot digest %s\n", file.c_str());
                return 1;
            }
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double megabytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("sha256: %zu files, %.1f MB: median %.1f ms a round (%.1f to %.1f), %.2f ms per MB\n", files.size(),
                megabytes, median, times.front(), times.back(), megabytes > 0 ? median / megabytes : 0.0);
    return 0;
}
