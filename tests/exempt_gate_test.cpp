#include <fcntl.h>
#include <gtest/gtest.h>
#include <libipset/ipset.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cidr_index.hpp"
#include "exempt_gate.hpp"
#include "noinspection_internal.hpp"
#include "test_support.hpp"

using namespace testing_support;

// The library works on these objects of its program; here the test is the program.
struct ipset* ipset_instance = nullptr;
std::string code_version = "1.0.0";
std::string ipset_version = "7.10";

namespace {

constexpr char settings_file[] = "/etc/zelto/log_settings.json";
constexpr char header[] =
    "Name: noinspection\nType: hash:net\nRevision: 7\n"
    "Header: family inet hashsize 1024 maxelem 65536 bucketsize 12 initval 0x5c4a1f3e\n"
    "Size in memory: 1000\nReferences: 0\nNumber of entries: 3\nMembers:\n";

void destroy_set()
{
    run("ipset destroy noinspection 2>/dev/null");
}

// Replaces the kernel set "noinspection" with these members, in one restore.
void make_set(std::vector<std::string> const& members, std::string const& family = "inet")
{
    destroy_set();
    std::string script = "create noinspection hash:net family " + family + " maxelem " +
                         std::to_string(std::max<std::size_t>(131072, members.size())) + "\n";
    for (auto const& m : members)
        script += "add noinspection " + m + "\n";
    write_file("/tmp/noinspection.restore", script);
    ASSERT_EQ(run("ipset restore -f /tmp/noinspection.restore"), 0);
}

// Loads a listing as libipset would hand it over, in these pieces.
void load_listing(std::vector<std::string> const& pieces)
{
    noinspection_single_ipset.clear();
    noinspection_cidr_ipset.clear();
    begin_noinspection_listing();
    for (auto const& piece : pieces)
        default_print_outfn(nullptr, nullptr, "%s", piece.c_str());
    end_noinspection_listing();
}

// What f writes to standard output.
template <class F>
std::string capture_stdout(F f)
{
    std::fflush(stdout);
    int saved = ::dup(1);
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    ::dup2(pipe_fds[1], 1);
    ::close(pipe_fds[1]);
    f();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    return out;
}

// ---------------------------------------------------------------------------
// The library in this process.

class exempt_gate_library : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        setlogmask(0xff);
        destroy_set();
        load_listing({});
        noinspection_set_exist = true;
        log.clear();
    }

    static int check(std::string channel, std::string client, std::string& out)
    {
        int result = -1;
        out = capture_stdout([&] { result = check_ssl_inspection(channel.data(), client.data()); });
        return result;
    }

    syslog_listener log;
};

TEST_F(exempt_gate_library, listing_lines_become_members)
{
    struct listing_case {
        std::string members;  // what follows the header
        std::set<std::string> singles;
        std::set<std::string> cidrs;
    };
    listing_case const cases[] = {
        {"", {}, {}},
        {"10.0.0.1\n10.0.0.0/8\n", {"10.0.0.1"}, {"10.0.0.0/8"}},
        // Whole lines, whatever follows the address; duplicates once.
        {"10.0.0.1 timeout 300\n10.0.0.1\n10.0.0.1\n10.1.0.0/16 timeout 5\n",
         {"10.0.0.1 timeout 300", "10.0.0.1"},
         {"10.1.0.0/16 timeout 5"}},
        {"2001:db8::/32\n\n::1\n", {"", "::1"}, {"2001:db8::/32"}},  // an empty line is an empty member
        {"10.0.0.2\n192.168.0.0/16", {"10.0.0.2"}, {"192.168.0.0/16"}},  // last line without newline
    };
    for (auto const& c : cases) {
        std::string text = header + c.members;
        // Every way of cutting the listing in two or three pieces gives the same sets.
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            size_t second = std::min(text.size(), cut + 7);
            load_listing({text.substr(0, cut), text.substr(cut, second - cut), text.substr(second), ""});
            ASSERT_EQ(noinspection_single_ipset, c.singles) << c.members << " cut at " << cut;
            ASSERT_EQ(noinspection_cidr_ipset, c.cidrs) << c.members << " cut at " << cut;
        }
    }

    log.clear();
    load_listing({header});
    log.settle();
    EXPECT_TRUE(log.with_text("The Noinspection Ipset has been updated.").empty());
    load_listing({header, "10.0.0.1\n"});
    EXPECT_TRUE(log.has(LOG_INFO, "The Noinspection Ipset has been updated."));
}

TEST_F(exempt_gate_library, print_outfn_formats_its_arguments)
{
    begin_noinspection_listing();
    EXPECT_EQ(default_print_outfn(nullptr, nullptr, "%s%s", header, "10.0.0.1\n"),
              static_cast<int>(std::string(header).size()) + 10);
    EXPECT_EQ(default_print_outfn(nullptr, nullptr, "%d.%d.0.0/%d\n", 10, 1, 16), 13);
    EXPECT_EQ(default_print_outfn(nullptr, nullptr, "%s", ""), 1);
    end_noinspection_listing();
    EXPECT_EQ(noinspection_single_ipset, std::set<std::string>{"10.0.0.1"});
    EXPECT_EQ(noinspection_cidr_ipset, std::set<std::string>{"10.1.0.0/16"});
}

TEST_F(exempt_gate_library, union_of_both_sets_is_logged_in_byte_order)
{
    print_noinspection_set_by_signal();
    EXPECT_TRUE(log.has(LOG_INFO, "Noinspection IPs: "));
    load_listing({header, "10.0.0.1\n10.0.0.0/8\n"});
    noinspection_single_ipset.insert("10.0.0.0/8");  // in both: listed once
    print_noinspection_set_by_signal();
    EXPECT_TRUE(log.has(LOG_INFO, "Noinspection IPs: 10.0.0.0/8, 10.0.0.1, "));

    log.clear();
    signal_handler(SIGHUP);  // not one of the three: nothing happens
    log.settle();
    EXPECT_TRUE(log.records().empty());
}

struct check_case {
    std::vector<std::string> members;
    std::string client;
    int result;  // 0 ERR, 1 BH, 2 OK
    std::string log_line;
};

TEST_F(exempt_gate_library, check_answers_in_set_order)
{
    check_case const cases[] = {
        {{"10.1.2.3"}, "10.1.2.3", 0, "Client IP 10.1.2.3 has been found in noinspection_single_ipset"},
        {{"10.0.0.0/8"}, "10.1.2.3", 0,
         "Client IP 10.1.2.3 has been found in noinspection_cidr_ipset by using lpm_lookup"},
        {{"192.168.0.0/16"}, "10.1.2.3", 2,
         "Client IP 10.1.2.3 has not been found in noinspection_cidr_ipset by using lpm_lookup returned value is "
         "(nil)"},
        {{}, "10.1.2.3", 2,
         "Client IP 10.1.2.3 has not been found in noinspection_single_ipset, checking noinspection_cidr_ipset"},
        {{"10.0.0.0/0"}, "203.0.113.9", 0, ""},
        {{"2001:db8::/32", "::/0"}, "10.1.2.3", 2, ""},  // IPv6 entries never hold an IPv4 client
        {{"0abc/8", "10.0.0.0/8"}, "10.1.2.3", 1,
         "Failed while searching 0abc/8 in noinspection_cidr_ipset by using lpm_strtobin is returned -1"},
        {{"10.0.0.0/8", "zzz/8"}, "10.1.2.3", 0, ""},
        {{"10.0.0.0/8", "zzz/8"}, "11.1.2.3", 1,
         "Failed while searching zzz/8 in noinspection_cidr_ipset by using lpm_strtobin is returned -1"},
        {{"10.0.0.0/129"}, "10.1.2.3", 1,
         "Failed while searching 10.0.0.0/129 in noinspection_cidr_ipset by using lpm_insert is returned -1"},
        {{"10.0.0.0/-8", "9.0.0.0/8"}, "9.1.2.3", 1, ""},
        {{"10.0.0.0/40"}, "10.0.0.0", 2, ""},  // stored, never found by an IPv4 look-up
        {{"10.1.2.3 timeout 300"}, "10.1.2.3", 2, ""},
        {{"10.0.0.0/8 timeout 300"}, "10.1.2.3", 0, ""},
        {{"10.0.0.0/8"}, "host", 1,
         "Failed while searching host in noinspection_cidr_ipset by using lpm_strtobin is returned -1"},
        {{"0abc/8"}, "host", 1,
         "Failed while searching 0abc/8 in noinspection_cidr_ipset by using lpm_strtobin is returned -1"},
    };
    char const* const words[] = {"ERR", "BH", "OK"};
    for (auto const& c : cases) {
        std::string listing = header;
        for (auto const& m : c.members)
            listing += m + "\n";
        load_listing({listing});
        log.clear();
        std::string out;
        EXPECT_EQ(check("42", c.client, out), c.result) << listing << c.client;
        EXPECT_EQ(out, std::string("42 ") + words[c.result] + "\n") << listing << c.client;
        if (!c.log_line.empty()) {
            EXPECT_TRUE(log.has(LOG_DEBUG, c.log_line)) << c.log_line;
        }
    }

    noinspection_set_exist = false;
    std::string out;
    EXPECT_EQ(check("7", "192.0.2.1", out), 0);
    EXPECT_EQ(out, "7 ERR\n");
    EXPECT_TRUE(log.has(LOG_DEBUG, "noinspection set not found. Assuming client is in noinpection set: 192.0.2.1"));
}

// The per-request algorithm that the prepared index replaces: a fresh table,
// members inserted in set order, the client looked up after each insert.
cidr_index::result reference_check(std::set<std::string> const& members, std::string const& client,
                                   std::string& failed_text)
{
    using verdict = cidr_index::verdict;
    if (members.empty())
        return {verdict::inspect};
    std::unique_ptr<lpm_table, decltype(&lpm_destroy)> table(lpm_create(), &lpm_destroy);
    unsigned char addr[16];
    size_t len;
    unsigned preflen;
    for (auto const& m : members) {
        if (int rc = lpm_strtobin(m.c_str(), addr, &len, &preflen); rc != 0) {
            failed_text = m;
            return {verdict::failure, nullptr, "lpm_strtobin", rc};
        }
        if (int rc = lpm_insert(table.get(), addr, len, preflen, reinterpret_cast<void*>(0x100)); rc != 0) {
            failed_text = m;
            return {verdict::failure, nullptr, "lpm_insert", rc};
        }
        if (int rc = lpm_strtobin(client.c_str(), addr, &len, &preflen); rc != 0) {
            failed_text = client;
            return {verdict::failure, nullptr, "lpm_strtobin", rc};
        }
        if (lpm_lookup(table.get(), addr, len) == reinterpret_cast<void*>(0x100))
            return {verdict::exempt};
    }
    return {verdict::inspect};
}

TEST_F(exempt_gate_library, prepared_index_answers_like_the_per_request_table)
{
    std::mt19937 rng(1789);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto ipv4 = [&] {
        return "10." + std::to_string(pick(3)) + "." + std::to_string(pick(4)) + "." + std::to_string(pick(256));
    };
    auto member = [&]() -> std::string {
        int kind = pick(100);
        if (kind < 2) {  // no address; the last two read as length 0
            char const* odd[] = {"0abc/8", "zzz/8", "host/24", "9.0.0.0/x8", "10.1.0.0/4294967296"};
            return odd[pick(5)];
        }
        if (kind < 5) {  // unusable, anywhere in set order
            char const* suffixes[] = {"/-1", "/129", "/300", "x/8"};
            return ipv4() + suffixes[pick(4)];
        }
        if (kind < 10) {
            char const* ipv6[] = {"2001:db8::/32", "::/0", "::ffff:10.0.0.0/104", "a00::/8", "::a00:0/8"};
            return ipv6[pick(5)];
        }
        // Mostly lengths that nest within 10.0.0.0/14, some short, some beyond 32.
        int lengths[] = {0, 1, 7, 8, 12, 14, 15, 16, 18, 20, 22, 24, 26, 28, 30, 31, 32, 33, 40, 128};
        return ipv4() + "/" + std::to_string(lengths[pick(20)]);
    };
    auto client = [&]() -> std::string {
        int kind = pick(100);
        if (kind < 2)
            return "host";
        if (kind < 4)
            return "2001:db8::1";
        if (kind < 8)
            return "11.1.2.3";
        return ipv4();
    };

    int compared = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        std::set<std::string> members;
        int size = trial % 100 == 0 ? 2000 : 1 + pick(12);
        while (static_cast<int>(members.size()) < size)
            members.insert(member());
        cidr_index index(members);
        for (int i = 0; i < (size > 100 ? 2000 : 30); ++i) {
            std::string c = client();
            std::string expected_text;
            auto expected = reference_check(members, c, expected_text);
            auto got = index.find(c.c_str());
            ASSERT_EQ(got.answer, expected.answer) << "client " << c << " trial " << trial;
            if (expected.answer == cidr_index::verdict::failure) {
                ASSERT_EQ(std::string(got.failed_text), expected_text);
                ASSERT_STREQ(got.failed_step, expected.failed_step);
                ASSERT_EQ(got.failed_result, expected.failed_result);
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 100000);
}

TEST_F(exempt_gate_library, error_callbacks)
{
    ipset_load_types();
    ipset_instance = ipset_init();
    ASSERT_NE(ipset_instance, nullptr);
    struct ipset_session* session = ipset_session(ipset_instance);

    EXPECT_EQ(default_custom_error(ipset_instance, nullptr, 0, "ignored"), 0);
    EXPECT_TRUE(log.has(LOG_ERR, "An unexpected status code (0) has been received by custom error."));
    EXPECT_EQ(default_custom_error(ipset_instance, nullptr, 2, "bad %s %d", "option", 3), 2);
    EXPECT_TRUE(log.has(LOG_ERR, "ipset v7.10: bad option 3"));
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.priority == LOG_ERR && r.text.rfind("Try `ipset help' for more information.", 0) == 0;
    }));
    log.clear();
    EXPECT_EQ(default_custom_error(ipset_instance, nullptr, 3, nullptr), 3);
    EXPECT_TRUE(log.has(LOG_INFO, "An error message has been received by default_custom_error"));
    log.settle();
    for (auto const& r : log.records())
        EXPECT_EQ(r.text.find("ipset v"), std::string::npos) << r.text;

    struct report_case {
        ipset_err_type type;
        bool quiet;
        int status;
        std::optional<std::string> line;  // at LOG_ERR
    };
    // libipset ends its report texts with a newline.
    report_case const cases[] = {
        {IPSET_WARNING, false, -1, "Warning: careful\n"},
        {IPSET_NOTICE, false, -1, "careful\n"},
        {IPSET_WARNING, true, -1, std::nullopt},
        {IPSET_ERROR, false, 4, "ipset v7.10: careful\n"},
        {IPSET_NO_ERROR, false, -1, std::nullopt},
    };
    for (auto const& c : cases) {
        log.clear();
        if (c.quiet)
            ipset_envopt_set(session, IPSET_ENV_QUIET);
        if (c.type != IPSET_NO_ERROR)
            ipset_session_report(session, c.type, "careful");
        EXPECT_EQ(default_standard_error(ipset_instance, nullptr), c.status);
        EXPECT_EQ(ipset_session_report_type(session), IPSET_NO_ERROR);  // reset on every path
        EXPECT_TRUE(log.has(LOG_INFO, "An error message has been received by default_standard_error"));
        log.settle();
        int errors = 0;
        for (auto const& r : log.records())
            errors += r.priority == LOG_ERR;
        EXPECT_EQ(errors, c.line ? 1 : 0);
        if (c.line) {
            EXPECT_FALSE(log.with_text(*c.line).empty()) << *c.line;
        }
        ipset_envopt_unset(session, IPSET_ENV_QUIET);
    }
    ipset_fini(ipset_instance);
    ipset_instance = nullptr;
}

TEST_F(exempt_gate_library, reload_from_the_kernel_set)
{
    ipset_load_types();
    ipset_instance = ipset_init();
    ASSERT_NE(ipset_instance, nullptr);
    ipset_custom_printf(ipset_instance, default_custom_error, default_standard_error, default_print_outfn, nullptr);

    // Missing set: status 4, empty sets, a fresh handle that works again.
    for (int i = 0; i < 3; ++i) {
        log.clear();
        EXPECT_EQ(refresh_noinspection_set(), 4);
        EXPECT_TRUE(noinspection_single_ipset.empty());
        EXPECT_TRUE(noinspection_cidr_ipset.empty());
        EXPECT_TRUE(log.has(LOG_ERR, "Error while getting ipset list, status: 4"));
        EXPECT_TRUE(log.has(LOG_DEBUG, "Registered callback functions"));
        EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
            return r.priority == LOG_ERR && r.text.rfind("ipset v7.10: ", 0) == 0;
        }));
    }

    // More members than one output buffer of libipset holds: the listing
    // arrives in pieces cut anywhere, and every member must come through.
    std::vector<std::string> members;
    std::set<std::string> singles, cidrs;
    for (int i = 0; i < 3000; ++i) {
        members.push_back("10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1");
        singles.insert(members.back());
        members.push_back("172." + std::to_string(16 + i / 256) + "." + std::to_string(i % 256) + ".0/24");
        cidrs.insert(members.back());
    }
    make_set(members);
    log.clear();
    EXPECT_EQ(refresh_noinspection_set(), 0);
    EXPECT_EQ(noinspection_single_ipset, singles);
    EXPECT_EQ(noinspection_cidr_ipset, cidrs);
    EXPECT_EQ(noinspection_cidr_index().member_count(), cidrs.size());
    EXPECT_TRUE(log.has(LOG_INFO, "The Noinspection Ipset has been updated."));
    EXPECT_EQ(log.with_text("The Noinspection Ipset has been updated.").size(), 1u);

    ipset_fini(ipset_instance);
    ipset_instance = nullptr;
}

// ---------------------------------------------------------------------------
// The program over pipes.

class exempt_gate_program : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        destroy_set();
        write_file(settings_file, R"({"log_level":"debug"})");
        log.clear();
    }

    // Started and past its first load (at log level info or lower).
    std::unique_ptr<child_process> start()
    {
        auto p = spawn();
        pid_t pid = p->pid();
        EXPECT_TRUE(log.wait_for([pid](syslog_record const& r) {
            return r.pid == pid && r.text == "Starting reading lines";
        })) << "no start-up";
        return p;
    }

    static std::unique_ptr<child_process> spawn()
    {
        return std::make_unique<child_process>(std::vector<std::string>{build_path("acl/exempt_gate/exempt_gate")});
    }

    bool logged(pid_t pid, std::string const& text, std::chrono::milliseconds timeout = 5s)
    {
        return log.wait_for([&](syslog_record const& r) { return r.pid == pid && r.text == text; }, timeout);
    }

    static std::string ask(child_process& p, std::string const& line)
    {
        p.write(line + "\n");
        return p.read_line().value_or("<no answer>");
    }

    // Puts lines into the helper's buffer deterministically: nobody reads
    // the answers, so it blocks writing one while the lines read with it
    // wait. Returns how many answers it has written or is writing.
    static std::size_t block_with_lines_read(child_process& p, int lines)
    {
        ::signal(SIGPIPE, SIG_IGN);  // a failed run kills the child under the writer
        std::thread writer([&] {
            std::string batch;
            for (int i = 0; i < lines; ++i)
                batch += "1 10.1.2.3\n";
            p.write(batch);
        });
        bool const blocked = p.wait_until_blocked_writing();
        writer.join();
        EXPECT_TRUE(blocked);
        return p.unread_output() / (sizeof "1 ERR\n" - 1) + 1;
    }

    // The "Noinspection IPs: " lines of pid that come first after its last
    // record with the text marker, without that prefix.
    std::vector<std::string> listing_after(pid_t pid, std::string const& marker) const
    {
        std::string const prefix = "Noinspection IPs: ";
        auto records = log.records();
        std::erase_if(records, [pid](syslog_record const& r) { return r.pid != pid; });
        auto const marked = std::find_if(records.rbegin(), records.rend(),
                                         [&](syslog_record const& r) { return r.text == marker; });
        std::vector<std::string> lines;
        if (marked == records.rend())
            return lines;
        for (auto r = marked.base(); r != records.end(); ++r) {
            if (r->text.starts_with(prefix))
                lines.push_back(r->text.substr(prefix.size()));
            else if (!lines.empty())
                break;
        }
        return lines;
    }

    syslog_listener log;
};

TEST_F(exempt_gate_program, answers_from_the_set_present_at_start)
{
    make_set({"10.0.0.0/8", "192.168.1.5", "172.16.0.0/12"});
    auto p = start();
    EXPECT_TRUE(logged(p->pid(), "Version 1.0.0, An External Exempt Gate Service is being started."));
    auto records = log.records();
    for (auto const& r : records)
        if (r.pid == p->pid()) {
            EXPECT_EQ(r.ident, "zelto-squid-external-exempt-gate");
            EXPECT_EQ(r.facility, LOG_LOCAL0);
        }

    struct {
        std::string line;
        char const* answer;  // nullptr: none
    } const cases[] = {
        {"0 10.1.2.3", "0 ERR"},
        {"1 192.168.1.5", "1 ERR"},
        {"2 192.168.1.6", "2 OK"},
        {"3 172.31.255.255", "3 ERR"},
        {"4 172.32.0.0", "4 OK"},
        {"123456789 10.1.2.3", "123456789 ERR"},
        {"18446744073709551615 10.1.2.3", "18446744073709551615 ERR"},
        {"3 10.1.2.3 extra fields", "3 ERR"},
        {"\t4 \t 10.1.2.3\r", "4 ERR"},
        // Bad lines.
        {"12a 10.1.2.3", "BH"},
        {"-1 10.1.2.3", "BH"},
        {"123456789012345678901 10.1.2.3", "BH"},
        {"7 10.1.2", "7 BH"},
        {"7 ::1", "7 BH"},
        {"7 100.100.100.100abc", "7 BH"},
        {"7 10.1.2.3.4", "7 BH"},
        {"5", nullptr},
        {"", nullptr},
        {"   \t", nullptr},
        {std::string("8\0 10.1.2.3", 11), nullptr},  // the line ends at the NUL
    };
    for (auto const& c : cases) {
        p->write(c.line + "\n");
        if (c.answer) {
            EXPECT_EQ(p->read_line().value_or("<no answer>"), c.answer) << c.line;
        } else {
            // Nothing for this line: the next answer is the sentinel's.
            EXPECT_EQ(ask(*p, "99 11.0.0.1"), "99 OK") << c.line;
        }
    }
    EXPECT_TRUE(logged(p->pid(), "channel id : (12a) is not supported!"));
    EXPECT_TRUE(logged(p->pid(), "client ip: (100.100.100.100abc) is not supported!"));

    // A line cut after its fields but sent whole.
    std::string padded = "1 10.1.2.3 " + std::string(200 * 1024, 'x');
    EXPECT_EQ(ask(*p, padded), "1 ERR");
    EXPECT_EQ(ask(*p, std::string(100 * 1024, '7') + " 10.1.2.3"), "BH");
    EXPECT_EQ(ask(*p, "2 10.1.2.3"), "2 ERR");
    EXPECT_TRUE(logged(p->pid(), "Request line longer than 65536 bytes, ignoring the rest of it"));

    // A last line without newline is not answered.
    p->write("6 10.1.2.3");
    p->close_stdin();
    EXPECT_EQ(p->read_all(), "");
    EXPECT_EQ(exit_status(*p), 0);
    EXPECT_TRUE(logged(p->pid(), "Ipset instance finished"));
}

TEST_F(exempt_gate_program, missing_set_then_created_and_reloaded)
{
    auto p = start();
    EXPECT_TRUE(logged(p->pid(), "noinspection set not found. Create noinspection set please."));
    EXPECT_EQ(ask(*p, "0 10.1.2.3"), "0 ERR");
    EXPECT_EQ(ask(*p, "1 11.1.2.3"), "1 ERR");  // assumed exempt

    // Reloaded while the loop waits for input.
    make_set({"10.0.0.0/8"});
    p->signal(SIGUSR1);
    EXPECT_TRUE(logged(p->pid(), "Noinspection Set refreshed successfully"));
    EXPECT_TRUE(logged(p->pid(), "Interrupt signal ( SIGUSR1 ) handled."));
    EXPECT_EQ(ask(*p, "2 10.1.2.3"), "2 ERR");
    EXPECT_EQ(ask(*p, "3 11.1.2.3"), "3 OK");

    destroy_set();
    log.clear();
    p->signal(SIGUSR1);
    EXPECT_TRUE(logged(p->pid(), "noinspection set not found. Create noinspection set please."));
    EXPECT_EQ(ask(*p, "4 11.1.2.3"), "4 ERR");

    make_set({"11.0.0.0/8"});
    log.clear();
    p->signal(SIGUSR1);
    EXPECT_TRUE(logged(p->pid(), "Noinspection Set refreshed successfully"));
    EXPECT_EQ(ask(*p, "5 11.1.2.3"), "5 ERR");
    EXPECT_EQ(ask(*p, "6 10.1.2.3"), "6 OK");
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

TEST_F(exempt_gate_program, sigusr2_rereads_the_level_and_logs_the_sets)
{
    make_set({"10.0.0.1", "10.0.0.0/8"});
    auto p = start();
    write_file(settings_file, R"({"log_level":"info"})");
    p->signal(SIGUSR2);
    EXPECT_TRUE(logged(p->pid(), "Interrupt signal ( SIGUSR2 ) handled."));
    EXPECT_TRUE(logged(p->pid(), "Configured syslog loglevel as info"));
    EXPECT_TRUE(logged(p->pid(), "Noinspection IPs: 10.0.0.0/8, 10.0.0.1, "));

    // The debug lines of a request are gone now.
    log.clear();
    EXPECT_EQ(ask(*p, "1 10.0.0.1"), "1 ERR");
    log.settle();
    for (auto const& r : log.records())
        EXPECT_NE(r.priority, LOG_DEBUG) << r.text;

    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

TEST_F(exempt_gate_program, sigterm_while_idle_ends_the_loop)
{
    make_set({"10.0.0.0/8"});
    auto p = start();
    EXPECT_EQ(ask(*p, "1 10.1.2.3"), "1 ERR");
    p->signal(SIGTERM);
    EXPECT_EQ(exit_status(*p), 0);
    EXPECT_TRUE(logged(p->pid(), "Interrupt signal ( SIGTERM ) handled."));
    EXPECT_TRUE(logged(p->pid(), "Exit Gracefully"));
    EXPECT_TRUE(logged(p->pid(), "existed reading lines"));
    EXPECT_TRUE(logged(p->pid(), "Ipset instance finished"));
}

// A signal takes effect before the next line, also when lines are already in
// the loop's buffer: the set changes while the helper is blocked with lines
// read, then the signal comes, and the answers are read. Every answer
// written before the signal comes from the old set, every later one from
// the new set.
TEST_F(exempt_gate_program, signals_take_effect_before_lines_already_read)
{
    write_file(settings_file, R"({"log_level":"warning"})");
    constexpr int lines = 16000;  // more than the answers the output pipe holds

    for (int signal_number : {SIGUSR1, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        make_set({"10.0.0.0/8"});
        auto p = spawn();
        ASSERT_EQ(ask(*p, "0 10.1.2.3"), "0 ERR");
        std::size_t const old_answers = block_with_lines_read(*p, lines);
        make_set({"11.0.0.0/8"});
        p->signal(signal_number);

        std::size_t answered = 0;
        for (; answered < old_answers; ++answered)
            ASSERT_EQ(p->read_line(), "1 ERR") << answered;
        if (signal_number == SIGUSR1) {
            for (; answered < lines; ++answered)
                ASSERT_EQ(p->read_line(), "1 OK") << answered;
            p->close_stdin();
        }
        EXPECT_EQ(p->read_all(), "");
        EXPECT_EQ(exit_status(*p), 0);
    }
}

// Signals queued while the helper is busy are served as their order says,
// however repeats are merged: a listing asked for after a reload shows the
// reloaded set, and a reload asked for after a new level logs at that level.
TEST_F(exempt_gate_program, queued_signals_keep_the_outcome_of_their_order)
{
    constexpr int lines = 16000;
    struct order_case {
        std::vector<int> signals;
        char const* level;  // in the settings file when the signals come
    };
    order_case const cases[] = {
        {{SIGUSR1, SIGUSR2, SIGUSR1}, "info"},
        {{SIGUSR2, SIGUSR1, SIGUSR2}, "debug"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.level);
        write_file(settings_file, R"({"log_level":"info"})");
        make_set({"10.0.0.0/8"});
        log.clear();
        auto p = spawn();
        ASSERT_EQ(ask(*p, "0 10.1.2.3"), "0 ERR");
        std::size_t const old_answers = block_with_lines_read(*p, lines);
        make_set({"11.0.0.0/8"});
        write_file(settings_file, std::string(R"({"log_level":")") + c.level + R"("})");
        for (int signal_number : c.signals) {
            p->signal(signal_number);
            ASSERT_TRUE(wait_until_signals_taken(p->pid()));
        }

        std::size_t answered = 0;
        for (; answered < old_answers; ++answered)
            ASSERT_EQ(p->read_line(), "1 ERR") << answered;
        for (; answered < lines; ++answered)
            ASSERT_EQ(p->read_line(), "1 OK") << answered;
        p->close_stdin();
        EXPECT_EQ(exit_status(*p), 0);

        log.settle();
        EXPECT_EQ(listing_after(p->pid(), "Interrupt signal ( SIGUSR2 ) handled."),
                  std::vector<std::string>{"11.0.0.0/8, "});
        if (c.level == std::string("debug")) {
            EXPECT_TRUE(logged(p->pid(), "Noinspection Single IP Set cleared."));
        }
    }
}

// SIGUSR2 or SIGTERM sent just before the end of input: poll may report
// both at once, and the signal must still be served.
TEST_F(exempt_gate_program, signals_just_before_the_end_of_input_are_served)
{
    write_file(settings_file, R"({"log_level":"info"})");
    make_set({"10.0.0.0/8"});
    struct {
        int signal_number;
        char const* handled;
        char const* work;
    } const cases[] = {
        {SIGUSR2, "Interrupt signal ( SIGUSR2 ) handled.", "Noinspection IPs: 10.0.0.0/8, "},
        {SIGTERM, "Interrupt signal ( SIGTERM ) handled.", "Exit Gracefully"},
    };
    for (auto const& c : cases)
        for (int run = 0; run < 10; ++run) {
            SCOPED_TRACE(std::string(c.handled) + " run " + std::to_string(run));
            auto p = start();
            p->signal(c.signal_number);
            p->close_stdin();
            EXPECT_EQ(exit_status(*p), 0);
            EXPECT_TRUE(logged(p->pid(), c.handled));
            EXPECT_TRUE(logged(p->pid(), c.work));
        }
}

// Signals that come during the start-up wait for the first load and are
// then served in arrival order. The helper is held early in its start-up
// deterministically: its settings file is a FIFO that the test writes late.
TEST_F(exempt_gate_program, signals_during_start_up_are_served_after_the_first_load)
{
    make_set({"10.0.0.0/8"});
    ASSERT_EQ(::unlink(settings_file), 0);
    ASSERT_EQ(::mkfifo(settings_file, 0600), 0);
    auto p = spawn();
    int settings = -1;
    // Opening the writing end succeeds once the helper waits on the reading end.
    bool const waiting = eventually([&] {
        settings = ::open(settings_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return settings >= 0;
    });
    // The helper holds the FIFO; from here on the path names a plain file,
    // for SIGUSR2 and for the tests that follow.
    std::string const level = R"({"log_level":"info"})";
    write_file("/etc/zelto/settings.new", level);
    ASSERT_EQ(::rename("/etc/zelto/settings.new", settings_file), 0);
    ASSERT_TRUE(waiting);
    for (int signal_number : {SIGUSR2, SIGUSR1}) {  // not the kernel's order
        p->signal(signal_number);
        ASSERT_TRUE(wait_until_signals_taken(p->pid()));
    }
    ASSERT_EQ(::write(settings, level.data(), level.size()), static_cast<ssize_t>(level.size()));
    ::close(settings);

    EXPECT_EQ(ask(*p, "1 10.1.2.3"), "1 ERR");
    EXPECT_EQ(ask(*p, "2 11.1.2.3"), "2 OK");
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
    log.settle();
    std::vector<std::string> order;
    for (auto const& r : log.records())
        if (r.pid == p->pid() && (r.text == "Starting reading lines" || r.text.starts_with("Interrupt signal")))
            order.push_back(r.text);
    EXPECT_EQ(order, (std::vector<std::string>{"Starting reading lines", "Interrupt signal ( SIGUSR2 ) handled.",
                                               "Interrupt signal ( SIGUSR1 ) handled."}));
    EXPECT_EQ(listing_after(p->pid(), "Interrupt signal ( SIGUSR2 ) handled."),
              std::vector<std::string>{"10.0.0.0/8, "});
}

// A listing larger than one syslog datagram may be is logged whole, in
// several lines of whole members, in the order and form of one line.
TEST_F(exempt_gate_program, a_large_set_is_listed_whole)
{
    write_file(settings_file, R"({"log_level":"info"})");
    std::vector<std::string> members;
    std::set<std::string> networks, all;
    for (int i = 0; i < 15000; ++i) {
        members.push_back("10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".128/25");
        networks.insert(members.back());
    }
    for (int i = 0; i < 5000; ++i)
        members.push_back("172.16." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250));
    all.insert(members.begin(), members.end());
    make_set(members);
    auto p = start();

    // SIGUSR2 lists both sets; a reload first lists the networks it has not
    // emptied yet.
    p->signal(SIGUSR2);
    ASSERT_TRUE(wait_until_signals_taken(p->pid()));
    p->signal(SIGUSR1);
    EXPECT_TRUE(logged(p->pid(), "Noinspection Set refreshed successfully"));
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
    log.settle();

    struct {
        char const* marker;
        std::set<std::string> const& members;
    } const listings[] = {
        {"Interrupt signal ( SIGUSR2 ) handled.", all},
        {"Interrupt signal ( SIGUSR1 ) handled.", networks},
    };
    for (auto const& l : listings) {
        SCOPED_TRACE(l.marker);
        std::string expected;
        for (auto const& m : l.members)
            expected += m + ", ";
        auto const lines = listing_after(p->pid(), l.marker);
        EXPECT_GT(lines.size(), 1u);
        std::string joined;
        for (auto const& line : lines) {
            EXPECT_LE(line.size(), 64u * 1024);
            EXPECT_TRUE(line.empty() || line.ends_with(", ")) << "a member cut at " << line.substr(line.size() - 20);
            joined += line;
        }
        EXPECT_EQ(joined, expected);
    }
}

TEST_F(exempt_gate_program, empty_input_and_ipv6_members)
{
    make_set({"2001:db8::/32", "::ffff:0:0/96", "::/1"}, "inet6");
    {
        auto p = start();
        EXPECT_EQ(ask(*p, "1 10.1.2.3"), "1 OK");  // IPv6 members never hold an IPv4 client
        EXPECT_EQ(ask(*p, "2 0.0.0.0"), "2 OK");
        p->close_stdin();
        EXPECT_EQ(exit_status(*p), 0);
    }
    auto p = spawn();
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
    EXPECT_TRUE(logged(p->pid(), "Stopped reading lines from stdin"));

    // Started with standard input closed: it is at its end, whatever the
    // helper opens at start-up.
    child_process closed({"/bin/sh", "-c", "exec \"$0\" <&-", build_path("acl/exempt_gate/exempt_gate")});
    EXPECT_EQ(exit_status(closed, 10s), 0);
    EXPECT_TRUE(logged(closed.pid(), "Stopped reading lines from stdin"));
}

// Every member of a set larger than one listing buffer is answered.
TEST_F(exempt_gate_program, thousands_of_members)
{
    write_file(settings_file, R"({"log_level":"warning"})");
    std::vector<std::string> members;
    std::vector<std::pair<std::string, std::string>> requests;  // client, answer
    for (int i = 0; i < 3000; ++i) {
        std::string net = std::to_string(i / 250) + "." + std::to_string(i % 250);
        members.push_back("10." + net + ".1");
        requests.push_back({"10." + net + ".1", "ERR"});
        requests.push_back({"10." + net + ".2", "OK"});
        std::string cidr = "172." + std::to_string(16 + i / 256) + "." + std::to_string(i % 256);
        members.push_back(cidr + ".0/24");
        requests.push_back({cidr + ".77", "ERR"});
    }
    requests.push_back({"172.27.188.1", "OK"});
    make_set(members);
    auto p = spawn();
    for (size_t begin = 0; begin < requests.size(); begin += 500) {
        size_t end = std::min(requests.size(), begin + 500);
        std::string batch;
        for (size_t i = begin; i < end; ++i)
            batch += std::to_string(i + 1) + " " + requests[i].first + "\n";
        p->write(batch);
        for (size_t i = begin; i < end; ++i)
            ASSERT_EQ(p->read_line().value_or("<no answer>"), std::to_string(i + 1) + " " + requests[i].second)
                << requests[i].first;
    }
}

// Reloads give the memory of the members they replace back to the system:
// resident memory stays at what the first load of a large set left, and a
// small set after the large one leaves the helper about as large as a fresh
// helper that holds the small one.
TEST_F(exempt_gate_program, reloads_give_the_replaced_members_memory_back)
{
    write_file(settings_file, R"({"log_level":"warning"})");
    std::vector<std::string> large, small;
    for (int i = 0; i < 100000; ++i) {
        std::string const low = std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
        large.push_back(std::to_string(10 + (i >> 16)) + "." + low + ".1");
        large.push_back(std::to_string(30 + (i >> 16)) + "." + low + ".0/24");
    }
    small.assign(large.begin(), large.begin() + 1000);
    make_set(large);
    auto p = spawn();
    EXPECT_EQ(ask(*p, "0 10.0.0.1"), "0 ERR");
    long const first = memory_kib(p->pid(), "VmRSS");
    // Each reload takes one member out or puts it back, as its answer shows.
    for (int i = 1; i <= 5; ++i) {
        bool const out = i % 2;
        ASSERT_EQ(run(std::string("ipset ") + (out ? "del" : "add") + " noinspection 10.0.0.1"), 0);
        p->signal(SIGUSR1);
        EXPECT_EQ(ask(*p, std::to_string(i) + " 10.0.0.1"), std::to_string(i) + (out ? " OK" : " ERR"));
    }
    long const reloaded = memory_kib(p->pid(), "VmRSS");
    make_set(small);
    p->signal(SIGUSR1);
    EXPECT_EQ(ask(*p, "6 30.0.1.7"), "6 ERR");
    long const after_small = memory_kib(p->pid(), "VmRSS");

    auto fresh = spawn();
    EXPECT_EQ(ask(*fresh, "0 30.0.1.7"), "0 ERR");
    long const fresh_small = memory_kib(fresh->pid(), "VmRSS");

    if (glibc_allocator) {
        std::string const figures = "KiB: first load " + std::to_string(first) + "; reloaded " + std::to_string(reloaded) +
                                    "; small after large " + std::to_string(after_small) + ", fresh " +
                                    std::to_string(fresh_small);
        EXPECT_LE(reloaded, first + 4 * 1024) << figures;
        EXPECT_LE(after_small, fresh_small + 10 * 1024) << figures;
    }
}

// Reloads between requests: a check never sees the sets half reloaded,
// which would answer OK for a member.
TEST_F(exempt_gate_program, reloads_under_load_never_show_empty_sets)
{
    write_file(settings_file, R"({"log_level":"warning"})");
    std::vector<std::string> members;
    for (int i = 0; i < 2000; ++i)
        members.push_back("10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".0/24");
    make_set(members);
    auto p = spawn();
    ASSERT_EQ(ask(*p, "0 10.0.0.1"), "0 ERR");  // loaded, signals taken from here on

    // A reload comes before the next line once its signal is in, so in this
    // stream nearly every answer waits for a reload of its own.
    constexpr int count = 3000;
    std::atomic<bool> done{false};
    ::signal(SIGPIPE, SIG_IGN);  // a failed run kills the child under the writer
    std::thread writer([&] {
        try {
            for (int i = 0; i < count && !done; i += 100) {
                std::string batch;
                for (int j = i; j < i + 100; ++j)
                    batch += std::to_string(j) + " 10.3.7.9\n";
                p->write(batch);
            }
        } catch (std::exception const&) {
        }
    });
    std::thread signaller([&] {
        while (!done) {
            p->signal(SIGUSR1);
            std::this_thread::sleep_for(2ms);
        }
    });
    int answered = 0;
    for (; answered < count; ++answered) {
        auto line = p->read_line(10s);
        if (line != std::to_string(answered) + " ERR") {
            ADD_FAILURE() << "request " << answered << ": " << line.value_or("<no answer>");
            p->signal(SIGKILL);
            break;
        }
    }
    done = true;
    signaller.join();
    writer.join();
    EXPECT_EQ(answered, count);
}

}  // namespace
