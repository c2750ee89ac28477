#include <gtest/gtest.h>

#include <stdexcept>

#include "datastore_config.hpp"

namespace {

struct url_case {
    char const* text;
    char const* host;
    std::uint16_t port;
    char const* path;
};

TEST(datastore_config, parses_store_urls)
{
    url_case const cases[] = {
        {"redis://127.0.0.1:6379/1", "127.0.0.1", 6379, "/1"},
        {"redis://127.0.0.1:6378/1", "127.0.0.1", 6378, "/1"},
        {"redis://127.0.0.1:6379/11", "127.0.0.1", 6379, "/11"},
        {"redis://localhost", "localhost", 0, ""},
        {"redis://[::1]:6379/2", "[::1]", 6379, "/2"},
    };
    for (auto const& c : cases) {
        datastore_config config(c.text);
        EXPECT_EQ(config.text, c.text);
        EXPECT_EQ(config.url.encoded_host(), c.host) << c.text;
        EXPECT_EQ(config.url.port_number(), c.port) << c.text;
        EXPECT_EQ(config.url.encoded_path(), c.path) << c.text;
    }
}

TEST(datastore_config, refuses_text_that_is_no_url)
{
    for (char const* text : {"", "127.0.0.1:6379 1", "redis://exa mple:1/1", "://x"})
        EXPECT_THROW(datastore_config{text}, std::invalid_argument) << text;
}

TEST(datastore_config, default_holds_no_url)
{
    datastore_config config;
    EXPECT_TRUE(config.text.empty());
    EXPECT_TRUE(config.url.empty());
}

}  // namespace
