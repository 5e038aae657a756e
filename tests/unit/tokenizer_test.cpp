#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>
#include <random>
#include <string>

#include "interpreter/runner.h"
#include "interpreter/tokens.h"
#include "interpreter/zorvik.h"

namespace {

class TokenizerTest : public testing::Test {
protected:
    void SetUp() override {
        ZK_Init();
        char name[] = "/tmp/zorvik-tokens-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path_ = name;
    }
    void TearDown() override {
        ClearTokens();
        ZK_Terminate();
        std::remove(path_.c_str());
    }
    // Tokenizes `text`; returns the error message, or "" on success.
    std::string Tokenize(const std::string& text) {
        std::ofstream(path_, std::ios::binary) << text;
        ClearTokens();
        try {
            ::Tokenize(path_.c_str());
        } catch (const RunExit&) {
            return sErrorMsg;
        }
        return "";
    }
    std::string path_;
};

TEST_F(TokenizerTest, PositionsCountFromOneAndSurviveLongFiles) {
    std::string text;
    for (int i = 0; i < 70000; ++i) text += "\n";
    text += "\t x /* a\nb */y";
    ASSERT_EQ(Tokenize(text), "");
    ASSERT_EQ(sTokens.size(), 3u);
    EXPECT_EQ(sTokens[0].line, 70001u);  // beyond 16 bits
    EXPECT_EQ(sTokens[0].column, 3u);
    EXPECT_EQ(sTokens[1].line, 70002u);
    EXPECT_EQ(sTokens[1].column, 5u);
    EXPECT_EQ(sTokens[2].type, TOKEN_EOF);
}

TEST_F(TokenizerTest, StringsCountTheirLineBreaks) {
    ASSERT_EQ(Tokenize("\"a\nbc\" x"), "");
    EXPECT_STREQ(sTokens[0].text.get(), "a\nbc");
    EXPECT_EQ(sTokens[1].line, 2u);
    EXPECT_EQ(sTokens[1].column, 5u);
}

TEST_F(TokenizerTest, OperatorsPairOnlyAsListed) {
    ASSERT_EQ(Tokenize("x+++y<>z==!=&&:=\xff"), "");
    std::vector<int32_t> codes;
    for (const Token& t : sTokens)
        if (t.type == TOKEN_OPERATOR) codes.push_back(t.code);
    std::vector<int32_t> expected = {OP_INCREMENT, '+', OP_NE, '=', '=', '!', '=', '&', '&', OP_DEEP_ASSIGN, 0xff};
    EXPECT_EQ(codes, expected);
}

TEST_F(TokenizerTest, LargeAndBinaryInputNeverCrashes) {
    std::string big;
    while (big.size() < 10u << 20) big += "a = b + 12.5; // comment\n";
    ASSERT_EQ(Tokenize(big), "");
    EXPECT_EQ(sTokens.back().type, TOKEN_EOF);
    EXPECT_GT(sTokens.size(), 2000000u);

    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::string noise(4096, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        std::string message = Tokenize(noise);
        if (message.empty()) {
            EXPECT_EQ(sTokens.back().type, TOKEN_EOF);
        }
    }
}

TEST_F(TokenizerTest, OnlyCommentsOrOnlyAStringAreWholeFiles) {
    ASSERT_EQ(Tokenize("// one\n/* two */"), "");
    EXPECT_EQ(sTokens.size(), 1u);
    ASSERT_EQ(Tokenize("\"text\""), "");
    EXPECT_EQ(sTokens.size(), 2u);
    EXPECT_EQ(Tokenize("\"open"), "Unterminated string");
}

}  // namespace
