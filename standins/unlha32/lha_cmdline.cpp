#include "lha_cmdline.h"

#include "lha_decoder.h"

namespace lha {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size()) break;
        Token t;
        bool inQuotes = false;
        for (; i < line.size() && (inQuotes || !IsBlank(line[i])); ++i) {
            if (line[i] == '"') {
                inQuotes = !inQuotes;
                t.quoted = true;
            } else {
                t.text.push_back(line[i]);
            }
        }
        if (inQuotes) throw Error(ErrorCode::CommandLine, "unbalanced quote");
        tokens.push_back(std::move(t));
    }
    return tokens;
}

}  // namespace

Command ParseCommandLine(std::string_view line) {
    std::vector<Token> tokens = Tokenize(line);
    if (tokens.empty()) throw Error(ErrorCode::CommandLine, "empty command");
    Command cmd;
    const std::string& verb = tokens[0].text;
    if (tokens[0].quoted || verb.size() != 1 || (verb[0] != 'e' && verb[0] != 'E' && verb[0] != 'x' && verb[0] != 'X'))
        throw Error(ErrorCode::CommandLine, "unsupported command");
    cmd.command = static_cast<char>(verb[0] | 0x20);
    int names = 0;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (!t.quoted && t.text.size() > 1 && t.text[0] == '-') {
            cmd.switches.push_back(t.text);
            continue;
        }
        if (t.text.empty()) throw Error(ErrorCode::CommandLine, "empty name");
        if (names == 0) {
            cmd.archive = t.text;
        } else if (names == 1) {
            cmd.folder = t.text;
            while (cmd.folder.size() > 1 && (cmd.folder.back() == '\\' || cmd.folder.back() == '/')) {
                // Keep the separator of a drive's root ("C:\") and of a lone "\"; drop any other.
                if (cmd.folder.size() == 3 && cmd.folder[1] == ':') break;
                // A trailing 0x5C may be the second byte of a Shift-JIS character.
                std::size_t k = 0;
                bool lastIsSecondByte = false;
                while (k < cmd.folder.size()) {
                    unsigned char c = static_cast<unsigned char>(cmd.folder[k]);
                    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
                    if (lead && k + 1 < cmd.folder.size()) {
                        lastIsSecondByte = k + 2 == cmd.folder.size();
                        k += 2;
                    } else {
                        lastIsSecondByte = false;
                        ++k;
                    }
                }
                if (lastIsSecondByte) break;
                cmd.folder.pop_back();
            }
        } else {
            throw Error(ErrorCode::CommandLine, "too many names");
        }
        ++names;
    }
    if (names == 0) throw Error(ErrorCode::CommandLine, "no archive");
    if (names == 1) throw Error(ErrorCode::CommandLine, "no folder");
    return cmd;
}

}  // namespace lha
