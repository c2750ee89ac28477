#pragma once

#include <string>

#include <boost/url/url.hpp>

// Connection settings of one store, parsed from a URL such as
// "redis://127.0.0.1:6379/1". Stores copy what they need in their constructor.
struct datastore_config {
    datastore_config();
    // Throws std::invalid_argument when the text is not a URL.
    explicit datastore_config(std::string const& text);
    ~datastore_config();

    std::string text;      // the URL text it was made from
    boost::urls::url url;  // the parsed URL
};
