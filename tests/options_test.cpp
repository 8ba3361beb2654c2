// The command line as ParseArguments reads it, on every system: what each argument sets, and
// which command lines call for the usage text.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Args = std::vector<std::string>;
using Parsed = std::tuple<int, std::string, std::string, int>;  // result, input, output, depth

Parsed Parse(Args args) {
    args.insert(args.begin(), "bmpdepth");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Options options;
    const int ok = ParseArguments(int(args.size()), argv.data(), options);
    return {ok, options.input ? options.input : "", options.output ? options.output : "",
            options.bits};
}

}  // namespace

TEST(ParseArguments, SetsWhatEachArgumentSaysOrCallsForTheUsageText) {
    // Every command line that calls for the usage text.
    for (const Args& args : {Args{}, Args{"in.bmp", "-x"}, Args{"in.bmp", "-"},
                             Args{"in.bmp", "-o", "out.bmp", "-o"}, Args{"in.bmp", "-b"},
                             Args{"-b16", "in.bmp"}, Args{"in.bmp", "-B", "16"}, Args{"-o", "out"}})
        EXPECT_EQ(std::get<0>(Parse(args)), 0) << testing::PrintToString(args);
    const struct {
        const char* what;
        Args args;
        Parsed parsed;
    } cases[] = {
        {"the default depth, no output", {"in.bmp"}, {1, "in.bmp", "", 24}},
        {"options after the input",
         {"in.bmp", "-b", "16", "-o", "out.bmp"},
         {1, "in.bmp", "out.bmp", 16}},
        {"options before it",
         {"-o", "out.bmp", "-b", "32", "in.bmp"},
         {1, "in.bmp", "out.bmp", 32}},
        {"-b takes the next argument, even -o",
         {"-b", "-o", "out.bmp", "in.bmp"},
         {1, "in.bmp", "", 0}},
        {"-b16 after the input takes -o, leaving out.bmp as the input",
         {"in.bmp", "-b16", "-o", "out.bmp"},
         {1, "out.bmp", "", 0}},
        {"-o takes the next argument, even one with a hyphen",
         {"in.bmp", "-o", "-b"},
         {1, "in.bmp", "-b", 24}},
        {"known by the second letter; the last input wins",
         {"-output", "o.bmp", "a.bmp", "-reverse", "b.bmp", "-g", "-bits", "32bits"},
         {1, "b.bmp", "o.bmp", 32}},
        {"a depth read as atoi reads it", {"in.bmp", "-b", "x16"}, {1, "in.bmp", "", 0}},
        {"decimal even after a 0", {"in.bmp", "-b", "016"}, {1, "in.bmp", "", 16}},
        {"saturated above", {"in.bmp", "-b", "04294967312"}, {1, "in.bmp", "", INT_MAX}},
        {"saturated below", {"in.bmp", "-b", "-4294967272"}, {1, "in.bmp", "", INT_MIN}},
        {"leading blanks and a sign", {"in.bmp", "-b", "  +24x"}, {1, "in.bmp", "", 24}},
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.args), c.parsed) << c.what;
}
