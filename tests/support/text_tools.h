// Names for temporary files, and output made comparable, for the tests that run programs.
#pragma once

#include <unistd.h>

#include <string>

namespace vpitest {

// A fresh name under /tmp: `prefix`, this process, a count, `stem`; never the same twice in
// one program.
inline std::string TempName(const std::string& prefix, const std::string& stem) {
    static int count = 0;
    return "/tmp/" + prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++count) + "-" +
           stem;
}

// Columns collapsed to single blanks, so that the checks do not pin the layout.
inline std::string Squeeze(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    return out;
}

}  // namespace vpitest
