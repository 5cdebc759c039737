#include <gtest/gtest.h>
#include <picojson.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "communication/CommunicationManager.h"
#include "ctl/CredentialEncipher.h"
#include "order/ProcResultNotification.h"
#include "support/FakeService.h"
#include "support/TestLog.h"

using velk::comm::CommunicationManager;
using velk::test::FakeService;
using velk::test::RecordedRequest;
using velk::test::TestLog;

namespace {

const std::string kLoginPath = "/monitoring/api_user/";
const std::string kApiPath = "/monitoring/api/";

picojson::value num(int64_t n) { return picojson::value(n); }
picojson::value text(const std::string& s) { return picojson::value(s); }

std::vector<RecordedRequest> withPathPrefix(const std::vector<RecordedRequest>& all,
                                            const std::string& prefix) {
    std::vector<RecordedRequest> found;
    for (const auto& r : all) {
        if (r.path.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(r);
        }
    }
    return found;
}

int send(const std::string& suffix, const std::string& body, std::string& response) {
    CommunicationManager manager;
    manager.init();
    return manager.dataSend(suffix, body, response);
}

// Starts the fake first: the configuration needs its port.
class CommunicationManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        velk::test::initHttpOnce();
        ASSERT_TRUE(fake.running());
        CommunicationManager().clearToken();
    }
    void useConfig(const picojson::object& webApi = {}) {
        testLog = std::make_unique<TestLog>(
            velk::test::agentConfig(fake.baseUrl(), fake.caFile(), {{"web_api", picojson::value(webApi)}}));
    }
    std::vector<RecordedRequest> logins() { return withPathPrefix(fake.requests(), kLoginPath); }
    std::vector<RecordedRequest> apiCalls() { return withPathPrefix(fake.requests(), kApiPath); }

    FakeService fake;
    std::unique_ptr<TestLog> testLog;
};

}  // namespace

// Every completed transfer comes back with its body (a redirect is not followed); a 401 also drops
// the token, so the next call logs in, and only a 2xx answer counts as a delivered report.
TEST_F(CommunicationManagerTest, AnswerStatusDecidesTokenAndDelivery) {
    useConfig();
    struct Case {
        const char* action;
        int reported;  // 1: the exchange failed, 2: completed but not taken
        bool tokenKept;
    };
    for (const Case& c : {Case{R"({"status":200})", 0, true}, Case{R"({"status":401})", 2, false},
                          Case{R"({"status":500})", 2, true}, Case{R"({"drop":true})", 1, false},
                          Case{R"({"status":201})", 0, true},
                          Case{R"({"status":302,"headers":{"Location":"/elsewhere"}})", 2, true}}) {
        ASSERT_TRUE(fake.script(kApiPath + "report", std::string("[") + c.action + "]"));
        std::string response;
        EXPECT_EQ(velk::order::ProcResultNotification().sendResult("report", "{}", response), c.reported)
            << c.action;
        EXPECT_EQ(response, "") << c.action;
        EXPECT_EQ(!CommunicationManager().getToken().empty(), c.tokenKept) << c.action;
    }
    EXPECT_EQ(testLog->count("HTTP 401 : cached API token dropped"), 1u);
    EXPECT_EQ(logins().size(), 3u);
    // Each call after a login carried the token of that login.
    const auto tokens = fake.tokens();
    const auto calls = apiCalls();
    ASSERT_EQ(tokens.size(), 3u);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(fake.requests().size(), 9u);  // the redirect was handed back, not followed
    EXPECT_EQ(calls[1].headerValues("Authorization"), std::vector<std::string>{"Bearer " + tokens[0]});
    EXPECT_EQ(calls[5].headerValues("Authorization"), std::vector<std::string>{"Bearer " + tokens[2]});
    // The token is logged only by its start and length.
    for (const auto& token : tokens) {
        EXPECT_FALSE(testLog->contains(token));
    }
    const std::string shown = tokens[0].substr(0, 8) + "... (60 characters)";
    EXPECT_TRUE(testLog->contains("API Token -> " + shown + " : expiration -> "));
    EXPECT_TRUE(testLog->contains("receive data (API Token) -> " + shown));
}

TEST_F(CommunicationManagerTest, RejectedLoginFailsTheSendAndPostsNothing) {
    useConfig();
    const std::pair<const char*, const char*> cases[] = {
        // login answer, or fake configuration
        {R"([{"token_length":59}])", ""},
        {R"([{"token_length":61}])", ""},
        // 60 bytes each, but not a header value: a line break, a NUL, a blank, a non-ASCII byte
        {R"([{"body":"AAAAAAAAAA\r\nX-Injected: yes\r\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}])", ""},
        {R"([{"body":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAA\u0000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}])", ""},
        {R"([{"body":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAA AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}])", ""},
        {R"([{"body":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAA\u00e9AAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}])", ""},
        // 60 characters, but a refusal all the same
        {R"([{"body":"{\"message\":\"Unauthenticated.\"}______________________________"}])", ""},
        {R"([{"drop":true}])", ""},
        {"", R"({"password":"not the one"})"},
    };
    for (const auto& [script, config] : cases) {
        const size_t before = logins().size();
        ASSERT_TRUE(*script == '\0' || fake.script(kLoginPath, script));
        ASSERT_TRUE(*config == '\0' || fake.configure(config));
        std::string response;
        EXPECT_EQ(send("order_check", "{}", response), 1) << script << config;
        EXPECT_EQ(logins().size(), before + 1) << script << config;
        EXPECT_EQ(CommunicationManager().getToken(), "") << script << config;
    }
    EXPECT_TRUE(apiCalls().empty());
}

// The login and the API call as the service sees them: percent-encoded credentials, the agent's
// User-Agent, the plain content type without header templates, and the body byte for byte
// (nothing escaped or form-encoded).
TEST_F(CommunicationManagerTest, WireFormOfLoginAndApiCall) {
    // The cipher only yields characters from ',' up, so "&", "+", "%" and blanks cannot occur.
    const std::string user = "dev=a~1._-Z";
    const std::string password = ",P=w|{x}^`[41]/:;?@<>\\";
    std::string u1;
    std::string u2;
    ASSERT_TRUE(velk::ctl::CredentialEncipher().encipher(user, u1));
    ASSERT_TRUE(velk::ctl::CredentialEncipher().encipher(password, u2));
    useConfig({{"api_u1", text(u1)},
               {"api_u2", text(u2)},
               {"header", picojson::value(picojson::array{})},
               {"api_base_url", text(fake.baseUrl() + "/monitoring/api")}});
    ASSERT_TRUE(fake.configure(
        picojson::value(picojson::object{{"user", text(user)}, {"password", text(password)}}).serialize()));
    const std::string body = "{\"a\":\"\xe2\x82\xac \\\"q\\\"\",\"b\":[1,2]}\r\n&a=b+c%20";
    std::string response;
    ASSERT_EQ(send("order_check", body, response), 0);

    const auto all = fake.requests();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].method, "GET");
    EXPECT_EQ(all[0].path,
              kLoginPath + "?unm=dev%3Da~1._-Z&upw=%2CP%3Dw%7C%7Bx%7D%5E%60%5B41%5D%2F%3A%3B%3F%40%3C%3E%5C");
    EXPECT_EQ(all[1].method, "POST");
    EXPECT_EQ(all[1].path, "/monitoring/apiorder_check");  // joined without a slash
    EXPECT_EQ(all[1].body, body);
    EXPECT_EQ(all[1].headerValues("Content-Type"), std::vector<std::string>{"text/plane"});
    EXPECT_TRUE(all[1].headerValues("Authorization").empty());
    for (const auto& request : all) {
        EXPECT_EQ(request.headerValues("User-Agent"), std::vector<std::string>{"sib/1.0"});
    }
    // The user name is logged; the password is not, anywhere.
    EXPECT_TRUE(testLog->contains("send data -> unm=dev%3Da~1._-Z&upw=****|"));
    EXPECT_FALSE(testLog->contains(password));
}

TEST_F(CommunicationManagerTest, HeaderTemplatesGetTheTokenWithoutReexpansion) {
    // A token that itself holds the placeholder must be inserted once, literally.
    const std::string token = "0123456789AB$api_token$" + std::string(37, 'Z');
    ASSERT_EQ(token.size(), 60u);
    useConfig({{"header", picojson::value(picojson::array{text("X-Both: $api_token$|$api_token$"),
                                                          text("X-Plain: no placeholder"),
                                                          text("Authorization: Bearer $api_token$")})}});
    ASSERT_TRUE(fake.script(
        kLoginPath, picojson::value(picojson::array{picojson::value(picojson::object{{"body", text(token)}})})
                        .serialize()));
    std::string response;
    ASSERT_EQ(send("order_check", "{}", response), 0);
    const auto calls = apiCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].headerValues("X-Both"), std::vector<std::string>{token + "|" + token});
    EXPECT_EQ(calls[0].headerValues("X-Plain"), std::vector<std::string>{"no placeholder"});
    EXPECT_EQ(calls[0].headerValues("Authorization"), std::vector<std::string>{"Bearer " + token});
    for (const auto& type : calls[0].headerValues("Content-Type")) {
        EXPECT_NE(type, "text/plane");  // only an empty template list brings it
    }
}

namespace {
using Lifetime = std::pair<int64_t, size_t>;  // seconds, logins for two sends
class CommunicationManagerExpiry : public CommunicationManagerTest,
                                   public ::testing::WithParamInterface<Lifetime> {};
}  // namespace

// A non-positive lifetime means a login for every send; a huge one must not wrap into the past.
TEST_P(CommunicationManagerExpiry, LifetimeDecidesLogins) {
    useConfig({{"api_token_expiration", num(GetParam().first)}});
    std::string response;
    ASSERT_EQ(send("a", "1", response), 0);
    ASSERT_EQ(send("b", "2", response), 0);
    EXPECT_EQ(logins().size(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Lifetimes, CommunicationManagerExpiry,
                         ::testing::Values(Lifetime{2147483647, 1}, Lifetime{0, 2}, Lifetime{-5, 2},
                                           Lifetime{INT32_MIN, 2}));

TEST_F(CommunicationManagerTest, ThreadsShareOneTokenCache) {
    useConfig();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 3; ++i) {
                std::string response;
                failures += send("t" + std::to_string(t), std::to_string(i), response);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(apiCalls().size(), 12u);
    // Threads that found no token at the same moment may each log in, but no more than that.
    EXPECT_GE(logins().size(), 1u);
    EXPECT_LE(logins().size(), 4u);
}

// A 429 or 503 with Retry-After holds back every later call of the process (a report as well as a
// poll) for what it asks, up to "max_backoff_sec"; the plain settings, another status and an
// unreadable value hold nothing.
TEST_F(CommunicationManagerTest, RetryAfterHoldsLaterCallsUpToTheCap) {
    using velk::comm::HttpConnection;
    useConfig();
    struct Case {
        int64_t cap;
        int status;
        const char* value;
        int64_t held;
    };
    for (const Case& c : {Case{0, 429, "30", 0}, Case{60, 429, "30", 30}, Case{60, 503, "600", 60},
                          Case{60, 500, "30", 0}, Case{60, 429, "soon", 0}}) {
        TestLog::useSettings(velk::test::agentConfig(
            fake.baseUrl(), fake.caFile(),
            {{"order_check", picojson::value(picojson::object{{"max_backoff_sec", num(c.cap)}})}}));
        HttpConnection::releaseCalls();
        const std::string action = R"([{"status":)" + std::to_string(c.status) +
                                   R"(,"headers":{"Retry-After":")" + c.value + R"("}}])";
        ASSERT_TRUE(fake.script(kApiPath + "poll", action));
        std::string response;
        send("poll", "{}", response);
        EXPECT_NEAR(static_cast<double>(HttpConnection::callsHeldFor()), static_cast<double>(c.held), 1.0)
            << c.status << " " << c.value;
        const size_t calls = apiCalls().size();
        EXPECT_EQ(velk::order::ProcResultNotification().sendResult("report", "{}", response),
                  c.held > 0 ? 1 : 0);
        EXPECT_EQ(apiCalls().size(), calls + (c.held > 0 ? 0 : 1)) << c.status << " " << c.value;
    }
    HttpConnection::releaseCalls();
}
