#pragma once

#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

// Squid's side of an external ACL helper: request lines come in on standard
// input, answers go out on standard output. Each complete line becomes an
// Input record whose processing is posted to the io_context before the next
// read is armed, so requests are handled one at a time in arrival order. The
// answer is written whole and synchronously; an empty answer is not written.
//
// Output is the answer type as the callback sees it (a reference type such as
// std::string&): one answer value is created per request and dropped after
// the write.
//
// A line longer than max_line_size is not held: once the limit is reached it
// is answered by overlong_callback from a record of its complete leading
// fields (the bytes up to its last blank within the limit), and the rest of
// it is read and dropped.
template <typename Input, typename Output>
class async_io_handler {
public:
    using callback_type = std::function<void(Input, Output)>;
    using answer_type = std::remove_cvref_t<Output>;

    // Squid never sends lines anywhere near this long; a longer line is
    // answered from its first bytes rather than buffered without bound.
    static constexpr std::size_t max_line_size = 1 << 20;
    // A read error that persists (a descriptor that can never be read) would
    // otherwise be retried for ever; after this many in a row input is over.
    static constexpr int max_failed_reads = 100;

    explicit async_io_handler(callback_type callback_)
        : input_stream(context, 0),
          output_stream(context, 1),
          buffer(max_line_size),
          callback(std::move(callback_))
    {
        syslog(LOG_INFO, "async_io_handler initialized");
    }

    async_io_handler(async_io_handler const&) = delete;
    async_io_handler& operator=(async_io_handler const&) = delete;

    // Arms the one outstanding read: up to the next "\n".
    void reschedule()
    {
        boost::asio::async_read_until(
            input_stream, buffer, '\n',
            [this](boost::system::error_code const& ec, std::size_t n) { handle_input(ec, n); });
    }

    void handle_input(boost::system::error_code const& ec, unsigned long n)
    {
        if (ec == boost::asio::error::eof) {
            input_ended();  // queued requests still run, then the context runs dry
            return;
        }
        if (ec == boost::asio::error::not_found) {
            drop_overlong_data(ec);
            return;
        }
        if (ec) {
            syslog(LOG_WARNING,
                   "async_read_until function returned error: %s. Input buffer size is not sufficient",
                   ec.message().c_str());
            buffer.consume(n);
            if (++failed_reads >= max_failed_reads) {
                syslog(LOG_ERR, "Reading standard input failed %d times in a row. Input is closed.",
                       failed_reads);
                input_ended();
                return;
            }
            reschedule();
            return;
        }
        failed_reads = 0;

        if (discarding) {
            // The rest of an over-long line: it gets no answer.
            buffer.consume(n);
            discarding = false;
            reschedule();
            return;
        }

        auto const begin = boost::asio::buffers_begin(buffer.data());
        std::string const line(begin, begin + static_cast<std::ptrdiff_t>(n));
        buffer.consume(n);
        boost::asio::post(context, [this, record = Input(line)] { handle_request(record, callback); });
        reschedule();
    }

    boost::asio::io_context context;
    boost::asio::posix::stream_descriptor input_stream;
    boost::asio::posix::stream_descriptor output_stream;
    boost::asio::streambuf buffer;
    callback_type callback;
    // Answers a line longer than max_line_size; without it such a line gets
    // no answer.
    callback_type overlong_callback;
    // Posted once input is over, behind the requests still queued: whatever
    // else keeps the context busy (a signal wait) can stop there.
    std::function<void()> end_of_input;
    // Work that must be done before the next request is processed whenever
    // the flag is set (signals that came meanwhile). The check is one load.
    std::atomic<bool> const* work_pending = nullptr;
    std::function<void()> pending_work;

private:
    void input_ended()
    {
        if (end_of_input)
            boost::asio::post(context, end_of_input);
    }

    // The buffer is full and holds no "\n": answer the line from what is
    // known of it, throw the content away and keep discarding until the
    // line finally ends. Squid waits for an answer to every line it sends.
    void drop_overlong_data(boost::system::error_code const& ec)
    {
        if (!discarding) {
            syslog(LOG_WARNING,
                   "async_read_until function returned error: %s. Input buffer size is not sufficient",
                   ec.message().c_str());
            boost::asio::post(context, [this, record = Input(leading_fields())] {
                handle_request(record, overlong_callback);
            });
        }
        discarding = true;
        buffer.consume(buffer.size());
        reschedule();
    }

    // The buffered start of an over-long line up to its last blank: its
    // fields that are whole. The field the limit cut, and those after it,
    // are unknown.
    std::string leading_fields() const
    {
        auto const data = buffer.data();
        auto const begin = boost::asio::buffers_begin(data);
        auto const last_blank = std::find(std::make_reverse_iterator(boost::asio::buffers_end(data)),
                                          std::make_reverse_iterator(begin), ' ');
        return std::string(begin, last_blank.base());  // empty without a blank
    }

    void handle_request(Input const& record, callback_type const& handler)
    {
        if (work_pending && work_pending->load(std::memory_order_acquire))
            pending_work();
        if (!handler)
            return;
        answer_type answer;
        handler(record, answer);
        write_answer(answer);
    }

    // Writes the whole answer, however long the reader takes. A signal that
    // the helper catches may interrupt a write that waits for the reader;
    // that is no failure, the rest is written all the same.
    void write_answer(answer_type const& answer)
    {
        std::size_t written = 0;
        while (written < answer.size()) {
            boost::system::error_code ec;
            written += boost::asio::write(output_stream, boost::asio::buffer(answer) + written, ec);
            if (ec && ec != boost::asio::error::interrupted)
                throw boost::system::system_error(ec, "write");
        }
    }

    bool discarding = false;  // inside a line longer than max_line_size, already answered
    int failed_reads = 0;     // read errors since the last good read
};
