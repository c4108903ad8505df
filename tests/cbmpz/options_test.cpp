// The command line and output names of cbmpz.
#include <gtest/gtest.h>

#include "cbmpz/options.h"
#include "cbmpz/output_names.h"

namespace cbmpz {
namespace {

Options Parse(const std::vector<std::string>& arguments) {
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    EXPECT_EQ(parsed.error, "");
    return parsed.options;
}

std::string ErrorOf(const std::vector<std::string>& arguments) {
    return ParseCommandLine(arguments).error;
}

TEST(CbmpzOptions, GroupedShortOptionsAndValues) {
    const Options options = Parse({"-dcfrq", "-j3", "a", "-", "b"});
    EXPECT_EQ(options.mode, Mode::kDecompress);
    EXPECT_TRUE(options.toStdout);
    EXPECT_TRUE(options.force);
    EXPECT_TRUE(options.recursive);
    EXPECT_EQ(options.verbosity, 0);
    EXPECT_EQ(options.jobs, 3u);
    EXPECT_EQ(options.files, (std::vector<std::string>{"a", "-", "b"}));

    EXPECT_EQ(Parse({"-j", "2", "x"}).jobs, 2u);
    EXPECT_EQ(Parse({"--jobs=7", "x"}).jobs, 7u);
    EXPECT_EQ(Parse({"--jobs", "0", "x"}).jobs, 0u);
    EXPECT_EQ(Parse({"-o", "out", "x"}).output, "out");
    EXPECT_EQ(Parse({"-oout", "x"}).output, "out");
    EXPECT_EQ(Parse({"--output=out", "x"}).output, "out");
    // "--" ends the options: what follows is a file even when it starts with a dash.
    EXPECT_EQ(Parse({"--", "-d", "--rm"}).files, (std::vector<std::string>{"-d", "--rm"}));
}

TEST(CbmpzOptions, LaterChoicesWinAndModesCombine) {
    EXPECT_TRUE(Parse({"-k", "--rm", "x"}).removeInputs);
    EXPECT_FALSE(Parse({"--rm", "-k", "x"}).removeInputs);
    EXPECT_EQ(Parse({"-d", "-t", "x"}).mode, Mode::kTest);
    EXPECT_EQ(Parse({"-t", "-d", "x"}).mode, Mode::kTest);
    EXPECT_EQ(Parse({"-l", "-t", "x"}).mode, Mode::kList);
    EXPECT_EQ(Parse({"-q", "-v", "x"}).verbosity, 2);
    EXPECT_EQ(Parse({"-vv", "x"}).verbosity, 3);
    EXPECT_EQ(ErrorOf({"--help", "--bogus"}), "unrecognized option '--bogus'");
}

TEST(CbmpzOptions, RefusesWhatCannotMeanAnything) {
    EXPECT_EQ(ErrorOf({"-x"}), "invalid option -- 'x'");
    EXPECT_EQ(ErrorOf({"--nope"}), "unrecognized option '--nope'");
    EXPECT_EQ(ErrorOf({"--rm=1"}), "unrecognized option '--rm=1'");
    EXPECT_EQ(ErrorOf({"-j"}), "option '-j' requires an argument");
    EXPECT_EQ(ErrorOf({"x", "-o"}), "option '-o' requires an argument");
    for (const char* bad : {"", "-1", "x", "2x", "257", "99999999999"}) {
        EXPECT_NE(ErrorOf({"-j", bad, "f"}), "") << "-j '" << bad << "'";
    }
    EXPECT_EQ(ErrorOf({"-o", "out", "a", "b"}), "-o takes one input file");
    EXPECT_EQ(ErrorOf({"-r", "-o", "out", "a"}), "-o takes one input file");
    EXPECT_EQ(ErrorOf({"-c", "-o", "out", "a"}), "-o and -c cannot be used together");
    EXPECT_EQ(ErrorOf({"-t", "-o", "out", "a"}), "-o has no use with -t or -l");
    EXPECT_EQ(ErrorOf({"-o", "", "a"}), "the output file name is empty");
}

TEST(CbmpzNames, CompressedAndDecompressedNames) {
    EXPECT_EQ(CompressedName("x.bmp"), "x.cbmp");
    EXPECT_EQ(CompressedName("dir/Photo.BMP"), "dir/Photo.cbmp");
    EXPECT_EQ(CompressedName("notes.txt"), "notes.txt.cbmp");
    EXPECT_EQ(CompressedName("a.bmp/b"), "a.bmp/b.cbmp");  // the suffix of the last name only
    EXPECT_EQ(CompressedName(".bmp"), ".bmp.cbmp");        // a suffix alone is a name
    EXPECT_EQ(CompressedName("x.cbmp"), std::nullopt);
    EXPECT_EQ(CompressedName("X.CBMP"), std::nullopt);

    EXPECT_EQ(DecompressedName("x.cbmp"), "x.bmp");
    EXPECT_EQ(DecompressedName("d.cbmp/X.CBMP"), "d.cbmp/X.bmp");
    EXPECT_EQ(DecompressedName("x.bmp"), std::nullopt);
    EXPECT_EQ(DecompressedName("d/.cbmp"), std::nullopt);
    EXPECT_EQ(DecompressedName("xcbmp"), std::nullopt);
}

}  // namespace
}  // namespace cbmpz
