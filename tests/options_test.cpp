#include "cli/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

// Parses a command line; the options point into `args`, so it is built in place, never moved.
struct Parse {
    explicit Parse(std::vector<std::string> arguments) : args(std::move(arguments)) {
        args.insert(args.begin(), "bmpdepth");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        ok = ParseArguments(int(argv.size()), argv.data(), options);
    }
    Parse(const Parse&) = delete;
    Parse& operator=(const Parse&) = delete;

    std::vector<std::string> args;
    Options options;
    int ok = 0;
};

std::string Str(const char* s) { return s ? s : "<none>"; }

}  // namespace

TEST(ParseDepth, ReadsLikeAtoiButSaturates) {
    EXPECT_EQ(ParseDepth("16"), 16);
    EXPECT_EQ(ParseDepth("  +32"), 32);
    EXPECT_EQ(ParseDepth("-5"), -5);
    EXPECT_EQ(ParseDepth("24bits"), 24);
    EXPECT_EQ(ParseDepth("x16"), 0);
    EXPECT_EQ(ParseDepth(""), 0);
    EXPECT_EQ(ParseDepth("0x20"), 0);
    EXPECT_EQ(ParseDepth("4294967312"), INT_MAX);  // 2^32 + 16 must not wrap to 16
    EXPECT_EQ(ParseDepth("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(ParseDepth("-4294967272"), INT_MIN);
}

TEST(ParseArguments, TakesInputOutputAndDepthInAnyOrder) {
    const Parse p(Args{"-o", "out.bmp", "in.bmp", "-b", "32"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Str(p.options.input), "in.bmp");
    EXPECT_EQ(Str(p.options.output), "out.bmp");
    EXPECT_EQ(p.options.bits, 32);

    const Parse d(Args{"in.bmp"});
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(Str(d.options.output), "<none>");
    EXPECT_EQ(d.options.bits, 24);
}

TEST(ParseArguments, LastInputWinsAndRGAreIgnored) {
    const Parse p(Args{"a.bmp", "-r", "b.bmp", "-g", "-o", "out.bmp"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Str(p.options.input), "b.bmp");
    EXPECT_EQ(Str(p.options.output), "out.bmp");
}

TEST(ParseArguments, KnowsOptionsByTheirSecondLetter) {
    const Parse p(Args{"-bits", "16", "-output", "o.bmp", "-reverse", "in.bmp"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.bits, 16);
    EXPECT_EQ(Str(p.options.output), "o.bmp");
    EXPECT_FALSE(Parse(Args{"-B", "16", "in.bmp"}).ok);
    EXPECT_FALSE(Parse(Args{"in.bmp", "-"}).ok);
    EXPECT_FALSE(Parse(Args{"in.bmp", "-x"}).ok);
}

TEST(ParseArguments, OptionValuesMayLookLikeOptions) {
    // -b eats "-o"; out.bmp becomes the input and is replaced by in.bmp.
    const Parse p(Args{"-b", "-o", "out.bmp", "in.bmp"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.bits, 0);
    EXPECT_EQ(Str(p.options.input), "in.bmp");
    EXPECT_EQ(Str(p.options.output), "<none>");
    // -b16 is -b, and takes in.bmp as its value: no input is left.
    EXPECT_FALSE(Parse(Args{"-b16", "in.bmp"}).ok);
    const Parse o(Args{"in.bmp", "-o", "-x"});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(Str(o.options.output), "-x");
}

TEST(ParseArguments, AsksForUsageWhenSomethingIsMissing) {
    EXPECT_FALSE(Parse(Args{}).ok);
    EXPECT_FALSE(Parse(Args{"-o", "out.bmp"}).ok);
    EXPECT_FALSE(Parse(Args{"in.bmp", "-o"}).ok);
    EXPECT_FALSE(Parse(Args{"in.bmp", "-o", "out.bmp", "-o"}).ok);
    EXPECT_FALSE(Parse(Args{"in.bmp", "-b"}).ok);
}
