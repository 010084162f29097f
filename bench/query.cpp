// query.exe: the benchmark's baseline. Asks every installed video compressor
// what selnary-compressors.exe asks, in this one process, with no child, no
// round trip and no protection: the least a report of the same compressors
// can cost.

#include "platform/platform.h"
#include "probe/probe.h"

#include <cstdio>  // for std::printf
#include <vector>

int main()
{
    BITMAPINFOHEADER probe;
    selnary::fill_probe_format(probe);
    int installed = 0, takes = 0;
    for (DWORD i = 0;; ++i) {
        ICINFO info{};
        info.dwSize = sizeof info;
        if (!ICInfo(ICTYPE_VIDEO, i, &info))
            break;
        ++installed;
        HIC compressor = ICOpen(ICTYPE_VIDEO, info.fccHandler, ICMODE_COMPRESS);
        if (!compressor)
            continue;
        ICGetInfo(compressor, &info, sizeof info);
        if (ICCompressQuery(compressor, &probe, nullptr) == ICERR_OK) {
            ++takes;
            std::vector<unsigned char> format(64 * 1024);
            ICCompressGetFormat(compressor, &probe, format.data());
        }
        ICQueryConfigure(compressor);
        ICQueryAbout(compressor);
        ICClose(compressor);
    }
    std::printf("%d installed, %d take the probe format\n", installed, takes);
    return 0;
}
