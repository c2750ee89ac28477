#include "datastore_config.hpp"

#include <stdexcept>

#include <boost/url/parse.hpp>

datastore_config::datastore_config() = default;

datastore_config::datastore_config(std::string const& text_) : text(text_)
{
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed)
        throw std::invalid_argument("Invalid store url: " + text + ": " + parsed.error().message());
    url = *parsed;
}

datastore_config::~datastore_config() = default;
