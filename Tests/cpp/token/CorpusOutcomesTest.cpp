// Every committed fuzz input for the two text parsers (the token table and
// the value list) gives exactly the outcome recorded in CorpusOutcomes.golden:
// result, events, entries, values and bytes used. A change to either parser
// that alters what any of these inputs produces shows up here as a diff.
// After an intended change, rewrite the record with
//   HOLVANE_WRITE_GOLDEN=1 ctest --test-dir build -R CorpusOutcomes
// and review the difference.
#include "Connection/Port/TCP/Commands/ValueListParser.h"
#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi {
namespace {

namespace fs = std::filesystem;

// From the source folder the build names: __FILE__ may be relative to
// wherever the compiler ran.
const fs::path Here = fs::path(HOLVANE_SOURCE_DIR) / "Tests" / "cpp" / "token";
const fs::path Corpus = Here / ".." / ".." / "fuzz" / "corpus";
const fs::path Golden = Here / "CorpusOutcomes.golden";

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The corpus folder's inputs in name order; a missing folder is a failure.
std::vector<fs::path> inputsOf(const std::string& target)
{
    std::vector<fs::path> files;
    const fs::path dir = Corpus / target;
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    EXPECT_FALSE(files.empty()) << dir;
    return files;
}

std::string printable(std::string_view text)
{
    std::string out;
    char hex[8];
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string bitsOf(double value)
{
    char text[48];
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::snprintf(text, sizeof text, "%.17g/%016llx", value, static_cast<unsigned long long>(bits));
    return text;
}

void describeEntry(std::ostream& out, const Token::TokenDef& e)
{
    out << "  entry " << printable(e.name) << " type=" << (e.token_type ? e.token_type : '0') << " code=" << e.token;
    switch (e.token_type) {
    case 'C':
        out << " q=" << e.command.min_quote_parameters << ".." << e.command.max_quote_parameters
            << " n=" << e.command.min_numeric_parameters << ".." << e.command.max_numeric_parameters
            << " mod=" << e.command.modifier_set << " exc=" << e.command.exception << " flags=" << e.command.flags;
        break;
    case 'V': out << " mod=" << e.sys_var.modifier_set << " flags=" << e.sys_var.flags; break;
    case 'M':
        out << " n=" << e.modifier.min_numeric_parameters << ".." << e.modifier.max_numeric_parameters
            << " mask=" << e.modifier.modifier_mask;
        break;
    case 'T': out << " value=" << bitsOf(e.constant.value); break;
    default: break;
    }
    out << '\n';
}

std::string tokenTableOutcome(const std::string& reply)
{
    std::ostringstream out;
    std::vector<std::string> added;
    Token token([&](EventType type, uint64_t code, const std::string_view& text) {
        out << "  event " << static_cast<int>(type) << ' ' << std::hex << code << std::dec << ' ' << printable(text)
            << '\n';
        if (text.substr(0, 2) == "->")
            added.emplace_back(text.substr(2));
    });
    MemPort port;
    port.Open(reply.data(), reply.size());
    const ErrorCode result = token.ReadTokenTable(port, std::chrono::milliseconds(0));
    out << "  result " << std::hex << static_cast<uint64_t>(result) << std::dec << " entries "
        << token.tokenMap().size() << " extended " << token.tokenExtendedCode() << '\n';
    for (const std::string& name : added)
        if (const Token::TokenDef* def = token.tokenMap().find(name, 0))
            describeEntry(out, *def);
    return out.str();
}

// As the value-list fuzz target reads its input: byte 0 chooses the count,
// byte 1 the size of the pieces the text arrives in.
std::string valueListOutcome(const std::string& input)
{
    if (input.size() < 2)
        return "  too short\n";
    const auto* data = reinterpret_cast<const uint8_t*>(input.data()) + 2;
    const size_t size = input.size() - 2;
    const size_t count = 1 + static_cast<uint8_t>(input[0]) % 64;
    const size_t piece = 1 + static_cast<uint8_t>(input[1]) % 17;
    std::ostringstream out;
    for (size_t step : {size == 0 ? size_t{1} : size, piece, size_t{1}}) {
        std::vector<double> values(count, -1.0);
        TCP::ValueListParser parser(values.data(), count);
        size_t used = 0;
        while (used < size && !parser.complete() && !parser.malformed())
            used += parser.feed(data + used, std::min(step, size - used));
        out << "  pieces " << step << " count " << count << " used " << used << " stored " << parser.stored()
            << " complete " << parser.complete() << " malformed " << parser.malformed() << '\n';
        for (size_t i = 0; i < parser.stored(); ++i)
            out << "   " << bitsOf(values[i]) << '\n';
    }
    return out.str();
}

std::string allOutcomes()
{
    std::ostringstream out;
    for (const fs::path& input : inputsOf("token_table"))
        out << "token_table/" << input.filename().string() << '\n' << tokenTableOutcome(readFile(input));
    for (const fs::path& input : inputsOf("value_list"))
        out << "value_list/" << input.filename().string() << '\n' << valueListOutcome(readFile(input));
    return out.str();
}

TEST(CorpusOutcomes, EveryCommittedParserInputGivesItsRecordedOutcome)
{
    const std::string now = allOutcomes();
    if (const char* write = std::getenv("HOLVANE_WRITE_GOLDEN"); write && *write == '1') {
        std::ofstream(Golden, std::ios::binary) << now;
        GTEST_SKIP() << "rewrote " << Golden;
    }
    ASSERT_TRUE(fs::exists(Golden)) << Golden;
    const std::string recorded = readFile(Golden);
    if (now == recorded)
        return;
    // Point at the first line that differs rather than dumping both.
    std::istringstream a(recorded), b(now);
    std::string la, lb, input;
    for (size_t line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, la));
        const bool moreB = static_cast<bool>(std::getline(b, lb));
        if (!moreA && !moreB)
            break;
        if (!la.empty() && la[0] != ' ')
            input = la;
        if (la != lb || moreA != moreB) {
            ADD_FAILURE() << "outcome differs at line " << line << " (" << input << ")\n recorded: " << la
                          << "\n now:      " << lb;
            break;
        }
    }
}

} // namespace
} // namespace Vantrel::HolvaneApi
