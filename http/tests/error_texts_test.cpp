// The WinHTTP error texts: one line per code of the table, the system text elsewhere.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "http/http.h"
#include "runtime/tests/log_capture.h"

namespace {

// Codes of 12001..12184 without a text of their own.
std::set<DWORD> Gaps() {
    std::set<DWORD> gaps;
    for (DWORD code = 12047; code <= 12056; ++code) gaps.insert(code);
    for (DWORD code = 12058; code <= 12099; ++code) gaps.insert(code);
    for (DWORD code = 12104; code <= 12149; ++code) gaps.insert(code);
    for (DWORD code = 12160; code <= 12165; ++code) gaps.insert(code);
    for (DWORD code : {12168u, 12171u, 12173u, 12174u, 12176u, 12177u}) gaps.insert(code);
    return gaps;
}

TEST(HttpErrorTexts, EveryCodeOfTheRangeHasItsTextOrTheSystemText) {
    const std::set<DWORD> gaps = Gaps();
    int withText = 0;
    for (DWORD code = 12001; code <= 12184; ++code) {
        LogCapture log;
        HttpGetLastError(code);
        const std::string text = log.text();
        const char* own = HttpErrorText(code);
        if (gaps.count(code)) {
            EXPECT_EQ(own, nullptr) << code;
            EXPECT_NE(text.find("Error Code : " + std::to_string(code) + " , Error Message : "), std::string::npos)
                << code;
            EXPECT_EQ(text.find("HttpGetLastError:"), std::string::npos) << code;
        } else {
            ASSERT_NE(own, nullptr) << code;
            ++withText;
            EXPECT_EQ(std::string(own).rfind("HttpGetLastError: ", 0), 0u) << code;
            EXPECT_NE(text.find(own), std::string::npos) << code;
            EXPECT_EQ(text.find("Error Code :"), std::string::npos) << code;
        }
    }
    EXPECT_EQ(withText, 184 - static_cast<int>(gaps.size()));
}

TEST(HttpErrorTexts, TextsKeepTheirOwnSpacingAndSharedLines) {
    struct Case {
        DWORD code;
        const char* text;
    } const cases[] = {
        {12002, "HttpGetLastError: The request has timed out.\n"},
        {12011, "HttpGetLastError: The request option can not be set, only queried.\n "},
        {12029, "HttpGetLastError: The attempt to connect to the server failed.\n"},
        {12032,
         "HttpGetLastError: The WinHTTP function failed. The desired function can be retried on the same request "
         "handle \n"},
        {12150, "HttpGetLastError: The requested header could not be located. \n"},
        {12172, "HttpGetLastError: Obsolete; no longer used.  \n"},
        {12183, "HttpGetLastError: An overflow condition is encountered in the course of parsing chunked encoding  \n"},
    };
    for (const Case& c : cases) EXPECT_STREQ(HttpErrorText(c.code), c.text) << c.code;
    EXPECT_STREQ(HttpErrorText(12184), HttpErrorText(12032));
    const std::string cn = HttpErrorText(12038);
    EXPECT_EQ(cn.rfind("HttpGetLastError: SSL certificate common name (host name field) is incorrect. ", 0), 0u);
    EXPECT_EQ(cn.substr(cn.size() - 2), " \n");
    // 12169 has no line end of its own: the next entry follows on the same line.
    const std::string invalid = HttpErrorText(12169);
    EXPECT_NE(invalid.back(), '\n');
    LogCapture log;
    HttpGetLastError(12169);
    HttpGetLastError(12002);
    EXPECT_TRUE(log.has("CERT_E_CHAINING)."));
    EXPECT_EQ(log.text().find("CERT_E_CHAINING).\n"), std::string::npos);
}

TEST(HttpErrorTexts, CodesOutsideTheRangeGoToTheSystemText) {
    for (DWORD code : {0u, 2u, 122u, 12000u, 12185u, 12047u, 0xFFFFFFFFu}) {
        EXPECT_EQ(HttpErrorText(code), nullptr) << code;
        LogCapture log;
        HttpGetLastError(code);
        EXPECT_EQ(log.text().find("HttpGetLastError:"), std::string::npos) << code;
        if (code != 0)
            EXPECT_TRUE(log.has("Error Code : " + std::to_string(static_cast<int>(code)) + " , Error Message : "))
                << code;
        else
            EXPECT_TRUE(log.has("Message : ")) << code;
    }
}

}  // namespace
