#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "async_io_handler.hpp"

// Base of a Squid external ACL helper. The derived class decides a request in
// process() and starts the loop in run(); the io_handler feeds it one request
// record at a time from standard input and writes the answer it leaves.
//
// There is no virtual destructor: a helper is always destroyed as its own
// type, and the protected destructor keeps it that way.
template <typename Input, typename Output>
class acl_base {
public:
    virtual void run() = 0;
    virtual void process(Input input, Output& output) = 0;
    // Answers a request line too long to be held, from a record of its
    // complete leading fields; the rest of the line is never seen.
    virtual void process_overlong(Input input, Output& output) = 0;

    acl_base(acl_base const&) = delete;
    acl_base& operator=(acl_base const&) = delete;

    // The loop's context, for whatever else must run on the helper's thread
    // (signal handling, for one).
    boost::asio::io_context& io_context() { return io_handler.context; }
    // Called on the loop once the last request read has been answered.
    void on_end_of_input(std::function<void()> handler) { io_handler.end_of_input = std::move(handler); }
    // Has work run before each request is processed whenever pending is set.
    void before_each_request(std::atomic<bool> const& pending, std::function<void()> work)
    {
        io_handler.work_pending = &pending;
        io_handler.pending_work = std::move(work);
    }

protected:
    acl_base()
        : io_handler(std::function<void(Input, Output&)>(
              [this](Input input, Output& output) { process(std::move(input), output); }))
    {
        io_handler.overlong_callback = [this](Input input, Output& output) {
            process_overlong(std::move(input), output);
        };
    }
    ~acl_base() = default;

    async_io_handler<Input, Output&> io_handler;
};
