// Rewrites the benchmark database from outside, as another process would: certutil flips the
// trust flags of its "signer" certificate, so the next listing finds the files changed.
#pragma once

#include <cstdlib>
#include <string>

inline bool changeDatabase(const std::string& directory) {
    static int round = 0;
    const std::string command = "certutil -M -d 'sql:" + directory + "' -n signer -t " +
                                (round++ % 2 == 0 ? "Pu,u,u" : "u,u,u") + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}
