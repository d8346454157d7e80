// Masking of passwords in the bodies the HTTP client logs.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "http/src/log_texts.h"

namespace {

using httpclient::RedactSecrets;

TEST(RedactSecrets, MasksPasswordValuesInEveryCommonForm) {
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    } const cases[] = {
        {"query", "user=a&password=x1&next=2", "user=a&password=****&next=2"},
        {"longer names, any case", "DbPwd=abc;Proxy_Password = 'q w';", "DbPwd=****;Proxy_Password = '****';"},
        {"xml attribute", "<User name=\"a\" passwd=\"p&gt;q\"/>", "<User name=\"a\" passwd=\"****\"/>"},
        {"xml element", "<password>p1</password><x>p1</x>", "<password>****</password><x>p1</x>"},
        {"json", R"({"password": "p\"1", "pwd":42})", R"({"password": "****", "pwd":****})"},
        {"the word alone", "forgot your password? call", "forgot your password? call"},
        {"nothing to mask", "plain body", "plain body"},
        {"empty value", "password=&x=1", "password=&x=1"},
        {"name at the end", "reset password", "reset password"},
        {"unterminated quote", "password=\"abc", "password=\"****"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RedactSecrets(c.text), c.expected);
    }
}

TEST(RedactSecrets, MasksTheProxyPasswordWherever) {
    const std::optional<std::string> saved = gv_proxyPassword;
    gv_proxyPassword = "s3cr3t";
    EXPECT_EQ(RedactSecrets("note=s3cr3t s3cr3ts3cr3t"), "note=**** ********");
    gv_proxyPassword = "x";  // one character is never sent, and would mask everything
    EXPECT_EQ(RedactSecrets("xx"), "xx");
    gv_proxyPassword = saved;
}

}  // namespace
