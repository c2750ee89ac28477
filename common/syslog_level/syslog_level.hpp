#pragma once

#include <string>

// Log level of the process, set from "/etc/zelto/log_settings.json".
// Both helpers use these; each program has its own current_log_level.

extern std::string current_log_level;  // level in force; empty until the first one

// Reads "log_level" from the settings file and sets the syslog mask. Never throws.
void configure_syslog();

// Fallback: "info", unless a level is already in force, which then stays.
void configure_syslog_default_settings();
