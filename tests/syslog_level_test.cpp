#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "syslog_level.hpp"
#include "test_support.hpp"

using namespace testing_support;

namespace {

constexpr char settings_file[] = "/etc/zelto/log_settings.json";

int current_mask()
{
    return setlogmask(0);  // 0 reads the mask without changing it
}

class syslog_level_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        openlog("syslog-level-test", LOG_PID, LOG_LOCAL0);
        std::filesystem::remove(settings_file);
        current_log_level.clear();
        setlogmask(0xff);
        log.clear();
    }

    void TearDown() override
    {
        ::chmod("/etc/zelto", 0755);
        setlogmask(0xff);
    }

    static void settings(std::string const& json) { write_file(settings_file, json); }

    syslog_listener log;
};

struct level_case {
    std::optional<std::string> file;  // nothing: no file
    int mask;
    std::string level;
    std::vector<std::pair<int, std::string>> lines;
};

TEST_F(syslog_level_test, first_configuration)
{
    std::vector<level_case> const cases = {
        {std::nullopt, 0x7f, "info",
         {{LOG_WARNING, "/etc/zelto/log_settings.json not found!"},
          {LOG_WARNING, "Log mask has been set as INFO."}}},
        {R"({"log_level":"debug"})", 0xff, "debug", {{LOG_INFO, "Configured syslog loglevel as debug"}}},
        {R"({"log_level":"notice","other":1})", 0x3f, "notice", {}},
        {R"({"log_level":"error"})", 0x0f, "error", {}},
        {R"({"log_level":"critical"})", 0x07, "critical", {}},
        {R"({"log_level":"alert"})", 0x03, "alert", {}},
        {R"({"log_level":"emergency"})", 0x01, "emergency", {}},
        {R"({"log_level":"Debug"})", 0x7f, "info",
         {{LOG_WARNING, "Debug is not supported by syslog!"}, {LOG_WARNING, "Log mask has been set as INFO."}}},
        {R"({"log_level":7})", 0x7f, "info", {{LOG_WARNING, "7 is not supported by syslog!"}}},
        {R"({"level":"debug"})", 0x7f, "info", {{LOG_WARNING, "NOT FOUND is not supported by syslog!"}}},
        // The empty level equals the empty level in force: only logged.
        {R"({"log_level":""})", 0xff, "", {{LOG_INFO, "Syslog loglevel is "}}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.file.value_or("(no file)"));
        std::filesystem::remove(settings_file);
        if (c.file)
            settings(*c.file);
        current_log_level.clear();
        setlogmask(0xff);
        log.clear();

        configure_syslog();
        EXPECT_EQ(current_mask(), c.mask);
        EXPECT_EQ(current_log_level, c.level);
        for (auto const& [priority, text] : c.lines)
            EXPECT_TRUE(log.wait_for([&](syslog_record const& r) {
                return r.priority == priority && r.text == text;
            })) << text;
    }
}

TEST_F(syslog_level_test, unreadable_or_malformed_file_falls_back)
{
    settings("{ log_level: debug");
    configure_syslog();
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.priority == LOG_WARNING &&
               r.text.rfind("Error while reading log level from file! Exp: ", 0) == 0;
    }));
    EXPECT_EQ(current_log_level, "info");
    EXPECT_EQ(current_mask(), 0x7f);

    // A status query that fails (a directory we cannot search) is no crash.
    settings(R"({"log_level":"debug"})");
    ASSERT_EQ(::chmod("/etc/zelto", 0), 0);
    if (::access(settings_file, R_OK) != 0) {  // root may still pass
        log.clear();
        configure_syslog();
        EXPECT_TRUE(log.wait_for_text("Syslog loglevel (info) not changed!"));
    }
}

TEST_F(syslog_level_test, a_level_in_force_survives_fallbacks)
{
    settings(R"({"log_level":"debug"})");
    configure_syslog();
    ASSERT_EQ(current_mask(), 0xff);

    log.clear();
    configure_syslog();
    EXPECT_TRUE(log.wait_for_text("Syslog loglevel is debug"));

    std::filesystem::remove(settings_file);
    log.clear();
    configure_syslog();
    EXPECT_TRUE(log.has(LOG_INFO, "Syslog loglevel (debug) not changed!"));
    EXPECT_EQ(current_mask(), 0xff);
    EXPECT_EQ(current_log_level, "debug");

    settings(R"({"log_level":"bogus"})");
    configure_syslog();
    EXPECT_EQ(current_mask(), 0xff);

    settings(R"({"log_level":"error"})");
    configure_syslog();
    EXPECT_EQ(current_mask(), 0x0f);
    EXPECT_EQ(current_log_level, "error");
}

TEST_F(syslog_level_test, mask_takes_effect_on_the_socket)
{
    settings(R"({"log_level":"warning"})");
    configure_syslog();
    syslog(LOG_INFO, "info after warning");
    syslog(LOG_WARNING, "warning after warning");
    ASSERT_TRUE(log.wait_for_text("warning after warning"));
    log.settle();
    EXPECT_TRUE(log.with_text("info after warning").empty());
    // The confirmation is itself LOG_INFO, so a "warning" mask hides it.
    EXPECT_TRUE(log.with_text("Configured syslog loglevel as warning").empty());

    auto records = log.with_text("warning after warning");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].facility, LOG_LOCAL0);
    EXPECT_EQ(records[0].ident, "syslog-level-test");
    EXPECT_EQ(records[0].pid, ::getpid());
}

}  // namespace
