// The files made by make-fixtures.sh, read by the store import and by the end-to-end program.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace fixture {

using Bytes = std::vector<unsigned char>;

// One manifest line; see make-fixtures.sh.
struct Entry {
    std::string name;
    std::string key;  // kx, sig or none
    int version;
    long keyUsage;
    std::string serial;  // hex, least significant byte first
    long long notBefore;
    long long notAfter;
    std::string subject;  // UTF-8, or "*"
    std::string issuer;
};

// The whole file; exits when it cannot be read, as nothing can be tested without it.
inline Bytes read(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        exit(2);
    }
    Bytes bytes;
    unsigned char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    fclose(file);
    return bytes;
}

inline std::vector<Entry> manifest(const std::string& dir) {
    const Bytes text = read(dir + "\\manifest");
    std::istringstream lines(std::string(text.begin(), text.end()));
    std::vector<Entry> entries;
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            f.push_back(field);
        }
        entries.push_back({f.at(0), f.at(1), std::stoi(f.at(2)), std::stol(f.at(3)), f.at(4),
                           std::stoll(f.at(5)), std::stoll(f.at(6)), f.at(7), f.at(8)});
    }
    return entries;
}

inline std::wstring wide(const std::string& utf8) {
    std::wstring out(utf8.size(), L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                   out.data(), static_cast<int>(out.size())));
    return out;
}

// The key container of a fixture key; the library narrows container names byte by byte, so ASCII.
inline std::wstring container(const Entry& entry) {
    return wide("ostrel-" + entry.name);
}

}  // namespace fixture
