// The helper framework, run as a real process over pipes: this test program
// doubles as a small echo helper when ACL_BASE_TEST_HELPER is set.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <boost/asio/signal_set.hpp>

#include "acl_base.hpp"
#include "test_support.hpp"

using namespace testing_support;

namespace {

struct line_record {
    explicit line_record(std::string const& text) : line(text) {}
    std::string line;  // as the framework delivers it, "\n" included
};

// Answers "got " and the line; "silent" gets no answer, "big N" an answer of
// N bytes; a line too long to hold "long [" and its leading fields "]"; "end"
// is written once input is over.
class echo_helper : public acl_base<line_record, std::string> {
public:
    echo_helper()
    {
        on_end_of_input([this] { (void)!::write(1, "end\n", 4); });
    }

    void run() override
    {
        io_handler.reschedule();
        io_handler.context.run();
    }

    void process(line_record input, std::string& answer) override
    {
        if (input.line == "silent\n")
            return;
        if (input.line.starts_with("big ")) {
            answer.assign(std::stoul(input.line.substr(4)), 'x');
            answer += '\n';
            return;
        }
        answer = "got " + input.line;
    }

    void process_overlong(line_record input, std::string& answer) override
    {
        answer = "long [" + input.line + "]\n";
    }
};

// Runs before GoogleTest's main when this program is started as the helper.
[[maybe_unused]] bool const helper_mode = [] {
    if (!std::getenv("ACL_BASE_TEST_HELPER"))
        return false;
    openlog("acl-base-test-helper", LOG_PID, LOG_LOCAL0);
    {
        echo_helper helper;
        // SIGUSR1 is taken on the loop, as the helper programs take their signals.
        boost::asio::signal_set signals(helper.io_context(), SIGUSR1);
        std::function<void()> wait = [&] {
            signals.async_wait([&](boost::system::error_code const& ec, int) {
                if (!ec)
                    wait();
            });
        };
        wait();
        helper.on_end_of_input([&] {
            (void)!::write(1, "end\n", 4);
            signals.cancel();
        });
        helper.run();
    }
    std::exit(0);
}();

std::string self_path()
{
    return std::filesystem::read_symlink("/proc/self/exe");
}

class acl_base_test : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SANDBOX(); }

    static child_process start_helper() { return child_process({self_path()}, {"ACL_BASE_TEST_HELPER=1"}); }

    static void expect_clean_exit(child_process& helper)
    {
        auto status = helper.wait();
        ASSERT_TRUE(status.has_value()) << "helper did not end";
        EXPECT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }

    syslog_listener log;
};

TEST_F(acl_base_test, lines_of_one_read_are_answered_in_order_and_a_partial_last_line_is_dropped)
{
    auto helper = start_helper();
    // One write: the reader sees several lines, an empty one, and a tail
    // without "\n" that input ends before.
    helper.write("a\nb  b\r\n\nsilent\nc\ntail");
    helper.close_stdin();
    EXPECT_EQ(helper.read_all(), "got a\ngot b  b\r\ngot \ngot c\nend\n");
    expect_clean_exit(helper);
    EXPECT_TRUE(log.has(LOG_INFO, "async_io_handler initialized"));
}

TEST_F(acl_base_test, empty_input_ends_at_once)
{
    auto helper = start_helper();
    helper.close_stdin();
    EXPECT_EQ(helper.read_all(), "end\n");
    expect_clean_exit(helper);
}

TEST_F(acl_base_test, answer_larger_than_the_pipe_is_written_whole_before_the_next)
{
    auto helper = start_helper();
    helper.write("big 1000000\nafter\n");
    auto big = helper.read_line();
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->size(), 1000000u);
    EXPECT_EQ(big->find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(helper.read_line(), "got after");
}

// A signal that arrives while an answer waits for a slow reader interrupts
// the write; the answer must still go out whole and the helper go on.
TEST_F(acl_base_test, signal_during_a_blocked_write_breaks_nothing)
{
    auto helper = start_helper();
    helper.write("first\n");
    EXPECT_EQ(helper.read_line(), "got first");
    helper.write("big 1000000\nafter\n");
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(20ms);  // the pipe fills; the write waits for the reader
        helper.signal(SIGUSR1);
    }
    auto big = helper.read_line();
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->size(), 1000000u);
    EXPECT_EQ(helper.read_line(), "got after");
    helper.close_stdin();
    EXPECT_EQ(helper.read_all(), "end\n");
    expect_clean_exit(helper);
}

TEST_F(acl_base_test, overlong_line_is_answered_from_its_leading_fields_and_reading_goes_on)
{
    auto helper = start_helper();
    helper.write("first\n");
    EXPECT_EQ(helper.read_line(), "got first");

    // Twice the buffer's limit: the answer comes before the line ends, from
    // the fields that the limit did not cut.
    helper.write("7 a  " + std::string(2 * (1 << 20) + 100, 'y'));
    EXPECT_EQ(helper.read_line(), "long [7 a  ]");
    helper.write("\nnext\n");
    EXPECT_EQ(helper.read_line(), "got next");

    // Without a blank within the limit nothing of the line is known.
    helper.write(std::string(3 * (1 << 20), 'y') + "\n");
    EXPECT_EQ(helper.read_line(), "long []");
    log.settle();
    EXPECT_EQ(log.with_text("async_read_until function returned error: Element not found. "
                            "Input buffer size is not sufficient")
                  .size(),
              2u);

    // A line just under the limit is still a request.
    std::string const longest(1000000, 'z');
    helper.write(longest + "\n");
    EXPECT_EQ(helper.read_line(), "got " + longest);
}

TEST_F(acl_base_test, input_that_cannot_be_read_ends_the_loop_instead_of_spinning)
{
    // A directory as standard input fails every read with EISDIR.
    int status = run("ACL_BASE_TEST_HELPER=1 timeout 20 " + self_path() + " < / > /dev/null");
    EXPECT_EQ(status, 0);
    log.settle();
    auto const warning = "async_read_until function returned error: Is a directory. "
                         "Input buffer size is not sufficient";
    EXPECT_EQ(log.with_text(warning).size(), 100u);
    EXPECT_TRUE(log.has(LOG_ERR, "Reading standard input failed 100 times in a row. Input is closed."));
}

}  // namespace
