// Log texts in tests: whole lines compared with their time stamps masked.
#ifndef QX_TEST_LOG_TEXT_H
#define QX_TEST_LOG_TEXT_H

#include <cstdio>
#include <string>

// Checks the time stamp that follows "<program>: " at the start of every line
// and replaces it with "<t>", so that whole log texts compare exactly.
inline std::string masked(const std::string &text)
{
    std::string out;
    for (size_t pos = 0, end; pos < text.size(); pos = end) {
        end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, end - pos);
        size_t at = line.find(": ");
        int y, mo, d, h, mi, s, n = 0;
        if (at == std::string::npos ||
            sscanf(line.c_str() + at + 2, "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6 ||
            n != 19 || line[at + 21] != ' ' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
            return "unexpected line: " + line;
        out += line.substr(0, at + 2) + "<t>" + line.substr(at + 21);
    }
    return out;
}

#endif
