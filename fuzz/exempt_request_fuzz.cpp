// Fuzz target: request lines of exempt_gate through its request loop, from
// standard input to standard output, over a few fixed noinspection sets.
// Every answer must be the one the plain reference gives, in order, once.
//
// Input: the first byte picks the set; the rest is what Squid would write.
// When the first byte is 0xf0 or above, the first byte 0xfe of the rest
// stands for 140,000 copies of the byte after it, so that lines longer than
// the loop keeps are tried too.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exempt_gate.hpp"
#include "exempt_reference.hpp"
#include "noinspection_internal.hpp"

// The library works on these objects of its program; here the fuzz target is the program.
struct ipset* ipset_instance = nullptr;
std::string code_version = "1.0.0";
std::string ipset_version = "7.10";

namespace {

struct fixed_set {
    std::vector<std::string> members;
    bool exist;
};

fixed_set const fixed_sets[] = {
    // Addresses, nested and IPv6 networks, a member with extra text, a
    // prefix longer than an IPv4 address.
    {{"10.1.2.3", "192.168.1.5", "10.0.0.1 timeout 300", "10.0.0.0/8", "10.1.0.0/16", "172.16.0.0/12",
      "192.168.0.0/16", "203.0.113.128/25", "198.51.100.7/32", "2001:db8::/32", "100.64.0.0/40",
      "11.0.0.0/8 timeout 300"},
     true},
    // Unusable members before and after usable ones.
    {{"10.0.0.0/8", "zzz/8", "9.0.0.0/-8", "11.0.0.0/129", "12.0.0.0/8", "1.2.3.4"}, true},
    // Only addresses, and a network holding every IPv4 client.
    {{"127.0.0.1", "0.0.0.0", "255.255.255.255"}, true},
    {{"0.0.0.0/0", "::/0"}, true},
    // No kernel set: every usable request is assumed exempt.
    {{"10.0.0.0/8"}, false},
    {{}, true},
};
constexpr std::size_t set_count = sizeof fixed_sets / sizeof fixed_sets[0];

constexpr std::size_t expansion = 140000;

int answers_fd = -1;  // read end of the pipe that standard output goes to
exempt_reference::sets reference;
std::size_t loaded = set_count;

void load(std::size_t which)
{
    if (which == loaded)
        return;
    std::string listing = exempt_reference::listing_of(fixed_sets[which].members);
    noinspection_single_ipset.clear();
    noinspection_cidr_ipset.clear();
    begin_noinspection_listing();
    default_print_outfn(nullptr, nullptr, "%s", listing.c_str());
    end_noinspection_listing();
    noinspection_set_exist = fixed_sets[which].exist;
    reference = exempt_reference::parse_listing(listing);
    reference.exist = fixed_sets[which].exist;
    loaded = which;
}

void fail(char const* what)
{
    std::perror(what);
    std::abort();
}

std::string requests_of(std::uint8_t const* data, std::size_t size, bool expand)
{
    std::string text;
    bool expanded = !expand;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xfe && !expanded && i + 1 < size) {
            text.append(expansion, static_cast<char>(data[++i]));
            expanded = true;
        } else {
            text += static_cast<char>(data[i]);
        }
    }
    return text;
}

std::string expected_answers(std::string const& text)
{
    std::string out;
    for (std::size_t pos = 0;;) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;  // an unterminated last line is not answered
        out += exempt_reference::answer(std::string_view(text).substr(pos, end - pos), reference);
        pos = end + 1;
    }
    return out;
}

std::string run_loop(std::string const& text)
{
    int fd = memfd_create("requests", MFD_CLOEXEC);
    if (fd < 0)
        fail("memfd_create");
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            fail("write requests");
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0 || ::dup2(fd, 0) < 0)
        fail("standard input");
    ::close(fd);

    handle_lines_from_stdin();
    std::fflush(stdout);

    std::string answers;
    char buf[65536];
    for (ssize_t n; (n = ::read(answers_fd, buf, sizeof buf)) > 0;)
        answers.append(buf, static_cast<std::size_t>(n));
    return answers;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Standard output into a pipe large enough for every answer of one input.
    int fds[2];
    if (::pipe(fds) != 0)
        fail("pipe");
    if (::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20) < 0 || ::fcntl(fds[0], F_SETFL, O_NONBLOCK) < 0)
        fail("fcntl");
    std::fflush(stdout);
    if (::dup2(fds[1], 1) < 0)
        fail("dup2");
    ::close(fds[1]);
    answers_fd = fds[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0 || size > 64 * 1024)
        return -1;  // keeps every answer of an input within the pipe
    load(data[0] % set_count);
    std::string text = requests_of(data + 1, size - 1, data[0] >= 0xf0);
    std::string got = run_loop(text);
    std::string want = expected_answers(text);
    if (got != want) {
        std::fprintf(stderr, "set %zu\nanswers:\n%s\nexpected:\n%s\n", loaded, got.c_str(), want.c_str());
        std::abort();
    }
    return 0;
}
