#pragma once

// What the kernel says about this process (Linux /proc).

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

// Resident memory in KiB (VmRSS), -1 when it cannot be read.
inline long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// How many of this process's descriptors are open on Path.
inline int DescriptorsOn(const std::string& Path) {
    int n = 0;
    std::error_code e;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", e);
         !e && it != std::filesystem::directory_iterator(); it.increment(e)) {
        std::error_code r;
        const std::filesystem::path target = std::filesystem::read_symlink(it->path(), r);
        if (!r && (target == Path || target == Path + " (deleted)")) ++n;
    }
    return n;
}
