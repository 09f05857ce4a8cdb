// Launch parameters: the partition, the split of AppParameters and the join that builds it.
#include "host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

Texts texts(const ArgumentList &list) {
    Texts result;
    for (unsigned i = 0; i < list.count; ++i) {
        result.push_back(list.strings[i]);
    }
    return result;
}

std::vector<char *> vectorOf(Texts &parameters) {
    std::vector<char *> vector;
    for (std::string &parameter : parameters) {
        vector.push_back(&parameter[0]);
    }
    return vector;
}

struct PartitionCase {
    Texts parameters;
    Texts jvmOptions;
    Texts appArguments;
    const char *workingDirectory; // null: none
};

// Shown by its parameters, each in brackets.
void PrintTo(const PartitionCase &c, std::ostream *os) {
    for (const std::string &parameter : c.parameters) {
        *os << "[" << parameter << "]";
    }
}

class Partition : public testing::TestWithParam<PartitionCase> {};

TEST_P(Partition, SplitsParametersIntoTheirClasses) {
    PartitionCase c = GetParam();
    Texts before = c.parameters;
    std::vector<char *> vector = vectorOf(c.parameters);
    unsigned n = static_cast<unsigned>(vector.size());

    ArgumentList options = collectJvmOptions(n, vector.data());
    ArgumentList arguments = collectAppArguments(n, vector.data());
    const char *directory = findWorkingDirectory(n, vector.data());

    EXPECT_EQ(texts(options), c.jvmOptions);
    EXPECT_EQ(texts(arguments), c.appArguments);
    if (c.workingDirectory == nullptr) {
        EXPECT_EQ(directory, nullptr);
    } else {
        ASSERT_NE(directory, nullptr);
        EXPECT_STREQ(directory, c.workingDirectory);
        // The working directory refers into its own parameter; the lists hold copies.
        bool inside = false;
        for (char *parameter : vector) {
            inside = inside || directory == parameter + 7;
        }
        EXPECT_TRUE(inside);
    }
    for (unsigned i = 0; i < options.count; ++i) {
        for (char *parameter : vector) {
            EXPECT_NE(options.strings[i], parameter);
        }
    }
    EXPECT_EQ(c.parameters, before);
    EXPECT_EQ(options.count == 0, options.strings == nullptr);
    EXPECT_EQ(arguments.count == 0, arguments.strings == nullptr);

    releaseArgumentList(&options);
    releaseArgumentList(&arguments);
    EXPECT_EQ(options.count, 0u);
    EXPECT_EQ(options.strings, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Partition,
    testing::Values(PartitionCase{{"-Dapp.home=C:\\app", "/Xmx128m",
                                   "wrkdir=C:\\Program Files\\app", "mode one", "-d"},
                                  {"-Dapp.home=C:\\app", "/Xmx128m"},
                                  {"mode one", "-d"},
                                  "C:\\Program Files\\app"},
                    PartitionCase{{"WRKDIR=D:\\data"}, {}, {}, "D:\\data"},
                    PartitionCase{
                        {"WrkDir=x", "-x", "/d", "-X", "/D"}, {"-X", "/D"}, {"-x", "/d"}, "x"},
                    PartitionCase{{"wrkdir="}, {}, {}, nullptr},
                    PartitionCase{{"wrkdir=", "wrkdir=A", "wrkdir=B", "b"}, {}, {"b"}, "A"},
                    PartitionCase{{"-Dwrkdir=x", "-D", "-", "", "wrkdi", "w"},
                                  {"-Dwrkdir=x", "-D"},
                                  {"-", "", "wrkdi", "w"},
                                  nullptr},
                    PartitionCase{{}, {}, {}, nullptr}));

TEST(Partition, CollectsTwentyOneOptionsWithoutLimit) {
    Texts parameters;
    for (int i = 0; i < 21; ++i) {
        parameters.push_back("-Dp" + std::to_string(i) + "=v");
    }
    std::vector<char *> vector = vectorOf(parameters);
    ArgumentList options = collectJvmOptions(21, vector.data());
    EXPECT_EQ(texts(options), parameters);
    releaseArgumentList(&options);
}

struct SplitCase {
    std::string text;
    Texts tokens;
};

void PrintTo(const SplitCase &c, std::ostream *os) {
    *os << "[" << c.text << "]";
}

class Split : public testing::TestWithParam<SplitCase> {};

TEST_P(Split, TakesTokensBetweenTabs) {
    ArgumentList tokens = splitAppParameters(GetParam().text.c_str());
    EXPECT_EQ(texts(tokens), GetParam().tokens);
    EXPECT_EQ(tokens.count == 0, tokens.strings == nullptr);
    releaseArgumentList(&tokens);
}

INSTANTIATE_TEST_SUITE_P(Cases, Split,
                         testing::Values(SplitCase{"", {}}, SplitCase{"\t\t\t", {}},
                                         SplitCase{"\ta\t\tb\t", {"a", "b"}},
                                         SplitCase{"one", {"one"}},
                                         SplitCase{" a b \t\"c d\"\\", {" a b ", "\"c d\"\\"}},
                                         SplitCase{"wrkdir=C:\\Program Files\\x\t-Xmx1g",
                                                   {"wrkdir=C:\\Program Files\\x", "-Xmx1g"}}));

std::string joinText(unsigned s, Texts arguments, bool *none) {
    std::vector<char *> vector = vectorOf(arguments);
    static char buffer[appParametersCapacity + 16];
    memset(buffer, 'Z', sizeof buffer);
    char *joined =
        joinAppParameters(s, static_cast<unsigned>(vector.size()), vector.data(), buffer);
    for (size_t i = appParametersCapacity; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 'Z') << "written past the buffer at " << i;
    }
    *none = joined == nullptr;
    return joined == nullptr ? std::string() : std::string(joined);
}

TEST(Join, GivesNoneWhenNothingFollowsTheStart) {
    bool none = false;
    joinText(2, {"repohost", "-i"}, &none);
    EXPECT_TRUE(none);
    joinText(3, {"repohost", "-i"}, &none);
    EXPECT_TRUE(none);
    // An empty argument is an empty text, not none.
    EXPECT_EQ(joinText(2, {"repohost", "-i", ""}, &none), "");
    EXPECT_FALSE(none);
}

TEST(Join, SeparatesArgumentsWithSingleTabs) {
    bool none = true;
    EXPECT_EQ(joinText(2, {"repohost", "-i", "-Xmx256m", "wrkdir=C:\\srv", "start"}, &none),
              "-Xmx256m\twrkdir=C:\\srv\tstart");
    EXPECT_FALSE(none);
}

TEST(Join, RefusesTextsAboveTheCapacityWithoutWritingPastIt) {
    bool none = false;
    // 8191 characters fit with their terminator, as one argument or as several.
    EXPECT_EQ(joinText(0, {std::string(8191, 'a')}, &none).size(), 8191u);
    EXPECT_FALSE(none);
    EXPECT_EQ(joinText(0, {std::string(4095, 'a'), std::string(4095, 'b')}, &none).size(), 8191u);
    EXPECT_FALSE(none);
    // One more character anywhere, a separator included, is refused whole.
    joinText(0, {std::string(8192, 'a')}, &none);
    EXPECT_TRUE(none);
    joinText(0, {std::string(4095, 'a'), std::string(4096, 'b')}, &none);
    EXPECT_TRUE(none);
    joinText(0, {std::string(8191, 'a'), ""}, &none);
    EXPECT_TRUE(none);
}

TEST(Join, SplitGivesBackTheArgumentsSaveEmptiesAndTabs) {
    struct Case {
        Texts arguments;
        Texts tokens;
    } cases[] = {
        {{"-Xmx256m", "wrkdir=C:\\Program Files\\srv", "a b"},
         {"-Xmx256m", "wrkdir=C:\\Program Files\\srv", "a b"}},
        {{"a", "", "b"}, {"a", "b"}},
        {{"x\ty", "\tz\t"}, {"x", "y", "z"}},
        {{""}, {}},
    };
    for (const Case &c : cases) {
        bool none = true;
        std::string text = joinText(0, c.arguments, &none);
        ASSERT_FALSE(none);
        ArgumentList tokens = splitAppParameters(text.c_str());
        EXPECT_EQ(texts(tokens), c.tokens);
        releaseArgumentList(&tokens);
    }
}

TEST(Release, OfTheEmptyListDoesNothing) {
    ArgumentList empty = {0, nullptr};
    releaseArgumentList(&empty);
    releaseArgumentList(&empty);
    EXPECT_EQ(empty.count, 0u);
}

} // namespace
