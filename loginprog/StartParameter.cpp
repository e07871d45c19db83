#include "StartParameter.h"

namespace sarvik {

std::string StartParameter;

std::string joinArguments(int argc, char **argv) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) out += ' ';
        out += argv[i];
    }
    return out;
}

DriveTexts driveTextsOf(const std::string &parameter) {
    DriveTexts t;
    if (parameter.size() < 3) return t;
    const char c = parameter[0];
    const bool isLetter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!isLetter || parameter[1] != ':' || parameter[2] != '\\') return t;
    t.letter = c;
    t.driveText = parameter.substr(0, 3);
    t.bracketed = "(C:)";
    t.bracketed[1] = c;
    return t;
}

} // namespace sarvik
