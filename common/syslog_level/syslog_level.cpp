#include "syslog_level.hpp"

#include <syslog.h>

#include <array>
#include <exception>
#include <filesystem>
#include <string_view>
#include <utility>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

std::string current_log_level;

namespace {

constexpr char log_settings_file[] = "/etc/zelto/log_settings.json";

constexpr std::array<std::pair<std::string_view, int>, 8> levels{{
    {"debug", LOG_UPTO(LOG_DEBUG)},
    {"info", LOG_UPTO(LOG_INFO)},
    {"notice", LOG_UPTO(LOG_NOTICE)},
    {"warning", LOG_UPTO(LOG_WARNING)},
    {"error", LOG_UPTO(LOG_ERR)},
    {"critical", LOG_UPTO(LOG_CRIT)},
    {"alert", LOG_UPTO(LOG_ALERT)},
    {"emergency", LOG_UPTO(LOG_EMERG)},
}};

}  // namespace

void configure_syslog_default_settings()
{
    if (!current_log_level.empty()) {
        syslog(LOG_INFO, "Syslog loglevel (%s) not changed!", current_log_level.c_str());
        return;
    }
    setlogmask(LOG_UPTO(LOG_INFO));
    current_log_level = "info";
    syslog(LOG_WARNING, "Log mask has been set as INFO.");
}

void configure_syslog()
{
    std::string level;
    try {
        // A status query that fails for another reason than absence (for
        // example a directory we may not search) is treated as unreadable.
        if (!std::filesystem::exists(log_settings_file)) {
            syslog(LOG_WARNING, "%s not found!", log_settings_file);
            configure_syslog_default_settings();
            return;
        }
        boost::property_tree::ptree settings;
        boost::property_tree::read_json(log_settings_file, settings);
        level = settings.get<std::string>("log_level", "NOT FOUND");
        if (level == current_log_level) {
            syslog(LOG_INFO, "Syslog loglevel is %s", level.c_str());
            return;
        }
    } catch (std::exception const& e) {
        syslog(LOG_WARNING, "Error while reading log level from file! Exp: %s", e.what());
        configure_syslog_default_settings();
        return;
    }

    for (auto const& [name, mask] : levels) {
        if (name == level) {
            setlogmask(mask);
            current_log_level = level;
            syslog(LOG_INFO, "Configured syslog loglevel as %s", level.c_str());
            return;
        }
    }
    syslog(LOG_WARNING, "%s is not supported by syslog!", level.c_str());
    configure_syslog_default_settings();
}
