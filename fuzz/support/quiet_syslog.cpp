// syslog(3) for the fuzz targets: every message is formatted as syslog would
// format it (so that a bad argument is found by the sanitizers), then
// dropped or handed to the capture in place. A fuzz run thus neither floods
// a log nor needs a log socket. Being defined in the program, these win over
// libc's for the libraries too.

#include "quiet_syslog.hpp"

#include <stdarg.h>
#include <stdio.h>

namespace quiet_syslog {

namespace {

capture* current = nullptr;

}  // namespace

capture::capture()
{
    current = this;
}

capture::~capture()
{
    current = nullptr;
}

}  // namespace quiet_syslog

extern "C" {

void vsyslog(int priority, const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    char text[1024];
    int n = vsnprintf(text, sizeof text, format, measure);
    va_end(measure);
    if (!quiet_syslog::current || n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof text) {
        quiet_syslog::current->add(priority & 7, std::string(text, static_cast<size_t>(n)));
        return;
    }
    std::string whole(static_cast<size_t>(n), '\0');
    vsnprintf(whole.data(), whole.size() + 1, format, args);
    quiet_syslog::current->add(priority & 7, std::move(whole));
}

void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

// What calls compiled with _FORTIFY_SOURCE use.
void __vsyslog_chk(int priority, int, const char* format, va_list args)
{
    vsyslog(priority, format, args);
}

void __syslog_chk(int priority, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

}  // extern "C"
