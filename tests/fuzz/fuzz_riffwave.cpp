// Describes, streams and rewrites an arbitrary byte image as a RIFF WAVE file.
// Nothing may crash, read outside the image or allocate beyond its size.

#include "wavedata/RiffWave.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    // A private copy, so that reads past the end are caught exactly.
    std::vector<char> image(data, data + size);
    PWAVEIOCB cb = nullptr;
    if (wioBuildFileInfoFromMem(cb, image.data(), static_cast<DWORD>(image.size())) != wioErrNone) {
        if (cb) __builtin_trap();  // a failure leaves no block
        return 0;
    }
    TWaveIOCBPtr owner(cb);
    if (cb->dwDataOffset + std::uint64_t{cb->dwDataBytes} > size) __builtin_trap();
    // Nor past the end of the RIFF chunk.
    const std::uint64_t riffSize = std::uint64_t{data[4]} | std::uint64_t{data[5]} << 8 |
                                   std::uint64_t{data[6]} << 16 | std::uint64_t{data[7]} << 24;
    if (cb->dwDataOffset + std::uint64_t{cb->dwDataBytes} > 8 + riffSize) __builtin_trap();

    for (auto& entry : cb->lpInfo->Entries) (void)RiffGetINFOText(cb->lpInfo.get(), entry.get()).size();

    if (wioWaveOpen(cb) == wioErrNone) {
        char buffer[4096];
        std::uint64_t total = 0;
        for (int i = 0; i < 4096; ++i) {
            const LONG n = wioWaveReadData(cb, buffer, 1 + static_cast<LONG>(i * 977 % sizeof buffer));
            if (n <= 0) break;
            total += static_cast<std::uint64_t>(n);
        }
        if (total > cb->dwDataBytes) __builtin_trap();
        wioWaveSetPosition(cb, static_cast<LONG>(cb->dwDataSamples / 2));
        wioWaveReadData(cb, buffer, sizeof buffer);
        wioWaveSetPosition(cb, 0x7fffffff);
        wioWaveReadData(cb, buffer, sizeof buffer);
        wioWaveClose(cb);
    }

    // Write the metadata back into a growing memory file.
    MMIOINFO info;
    info.fccIOProc = FOURCC_MEM;
    info.adwInfo[0] = 4096;
    HMMIO out = mmioOpenW(QString(), &info, MMIO_READWRITE | MMIO_CREATE);
    if (out) {
        RiffWriteDISP(out, cb->lpDisp.get());
        RiffWriteINFO(out, cb->lpInfo.get());
        mmioClose(out, 0);
    }
    return 0;
}
