#pragma once

// Pieces of the soak run (bench/soak.cpp): a helper program over pipes with
// requests in flight as Squid keeps them, signals at random moments, and the
// helper's resident memory over the run.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace soak {

using testing_support::write_file;

[[noreturn]] void fail(std::string const& what);
// Runs a shell command; throws when it fails.
void shell(std::string const& command);

// One request line and the answers that are right for it.
struct request {
    std::string line;
    std::vector<std::string> answers;
};

class helper {
public:
    explicit helper(std::string const& program);

    // Sends the requests with up to window of them unanswered and checks
    // every answer in order; the number of wrong ones (the first few are
    // printed). Throws when the helper stops answering.
    std::size_t stream(std::vector<request> const& requests, std::size_t window);
    // One request, its answer.
    std::string ask(std::string const& line);
    // Asks line again, a millisecond apart, until the answer is answer
    // (something the helper is to take in has come through); throws
    // std::runtime_error with what after 5,000 tries.
    void ask_until(std::string const& line, std::string const& answer, char const* what);
    void signal(int sig) { process_.signal(sig); }
    testing_support::child_process& process() { return process_; }
    long rss_kib() const;
    // Closes standard input; the exit status (128 + signal when killed).
    int finish();

private:
    // timeout_ms < 0: only a line already read.
    bool read_line(std::string& line, int timeout_ms);

    testing_support::child_process process_;
    std::string pending_;
    std::size_t begin_ = 0;
};

// One run: its phases, each a batch of requests streamed while SIGUSR1 and
// SIGUSR2 arrive, and its figures: answers and the resident memory after
// each phase.
class run_report {
public:
    explicit run_report(char const* name) : name_(name) {}

    void phase(helper& h, std::vector<request> const& batch, std::chrono::milliseconds max_pause, unsigned seed);
    std::size_t requests() const { return done_; }
    // Ends the helper and prints the figures, note among them; true when
    // every answer was right, the exit status 0 and memory flat.
    bool finish(helper& h, std::string const& note = "");

private:
    bool flat() const;

    char const* name_;
    std::size_t done_ = 0;
    std::size_t wrong_ = 0;
    std::size_t signals_ = 0;
    long first_ = -1;  // after the first phase: caches and sets in place
    long last_ = -1;
    long max_ = -1;
};

// The two runs; true when every answer was right and memory stayed flat.
bool exempt_soak(std::string const& program, std::size_t requests);
bool policy_soak(std::string const& program, std::size_t requests);

}  // namespace soak
