#pragma once

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

// Signal numbers in the order they arrived, handed from a signal handler to
// the main thread, which does the real work of each signal (logging, file
// reading, reloading) where that is safe.
//
// push() is async-signal-safe and lock-free; it stays correct when several
// threads push at once, though the programs let only their main thread take
// these signals (every other thread blocks them). The handler must block the
// queued signals while it runs (sa_mask), so that no push interrupts another.
// drain() runs on the main thread only; a push may interrupt it at any point.
//
// A slot is free again once drained. A signal that finds every slot taken is
// only counted, and handed out after the queued ones: its work is never lost,
// only its place in the order.
//
// What a handler that interrupts drain() sees with peek(): every signal
// whose handle() has not returned yet, the one being handled included, and
// every count not yet handed out. A signal is taken off only after its
// handle() returned, so one that is interrupted right after may be seen
// twice; none is ever missed.
//
// With a wake-up pipe open, every push also makes its read end readable, for
// a loop that waits in poll(2) or on an io_context.
class signal_queue {
public:
    static constexpr std::size_t capacity = 64;

    signal_queue() noexcept
    {
        for (std::size_t i = 0; i < capacity; ++i)
            cells_[i].sequence.store(i, std::memory_order_relaxed);
    }
    signal_queue(signal_queue const&) = delete;
    signal_queue& operator=(signal_queue const&) = delete;

    void push(int signal_number) noexcept
    {
        std::size_t position = enqueue_position_.load(std::memory_order_relaxed);
        for (;;) {
            cell& c = cells_[position % capacity];
            std::size_t const sequence = c.sequence.load(std::memory_order_acquire);
            auto const lag = static_cast<std::ptrdiff_t>(sequence - position);
            if (lag == 0) {
                if (enqueue_position_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                    c.signal_number.store(signal_number, std::memory_order_relaxed);
                    c.sequence.store(position + 1, std::memory_order_release);
                    break;
                }
            } else if (lag < 0) {
                if (signal_number > 0 && signal_number < NSIG)
                    overflow_[signal_number].fetch_add(1, std::memory_order_relaxed);
                break;
            } else {
                position = enqueue_position_.load(std::memory_order_relaxed);
            }
        }
        // Last: whoever sees the mark finds the signal published.
        pending_.store(true, std::memory_order_release);
        if (wake_[1] >= 0) {
            int const saved_errno = errno;
            char const wake = 0;
            // A full pipe already holds a wake-up.
            [[maybe_unused]] ssize_t const n = ::write(wake_[1], &wake, 1);
            errno = saved_errno;
        }
    }

    // Opens the wake-up pipe (non-blocking, closed on exec); before the
    // handler is installed. False with errno set.
    bool open_wake_pipe() noexcept { return wake_[0] >= 0 || ::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) == 0; }
    int wake_descriptor() const noexcept { return wake_[0]; }
    // Empties the pipe; the signals themselves are taken by drain().
    void clear_wake() noexcept
    {
        char bytes[64];
        while (::read(wake_[0], bytes, sizeof bytes) > 0) {
        }
    }

    // Set by a push until the next drain: the check before each request.
    bool pending() const noexcept { return pending_.load(std::memory_order_acquire); }
    std::atomic<bool> const& pending_flag() const noexcept { return pending_; }

    // Calls handle(signal_number) for every signal pushed so far, in arrival
    // order, then once for each one that found the queue full.
    template <typename Handler>
    void drain(Handler&& handle)
    {
        pending_.store(false, std::memory_order_seq_cst);
        for (;;) {
            std::size_t const position = dequeue_position_.load(std::memory_order_relaxed);
            cell& c = cells_[position % capacity];
            if (c.sequence.load(std::memory_order_acquire) != position + 1)
                break;  // empty, or the next one is still being written
            handle(c.signal_number.load(std::memory_order_relaxed));
            // The read position moves first: a peek between the two stores
            // starts behind this slot instead of stopping at it.
            dequeue_position_.store(position + 1, std::memory_order_release);
            c.sequence.store(position + capacity, std::memory_order_release);
        }
        for (int s = 1; s < NSIG; ++s)
            for (unsigned n = overflow_[s].load(std::memory_order_relaxed); n > 0; --n) {
                handle(s);
                overflow_[s].fetch_sub(1, std::memory_order_release);
            }
    }

    // Calls f(signal_number) for every queued signal, in arrival order,
    // without taking it; an f that returns bool stops it by returning false.
    // Async-signal-safe: for a handler that is about to end the process and
    // still owes their log lines.
    template <typename F>
    void peek(F&& f) const noexcept
    {
        auto const go_on = [&f](int signal_number) {
            if constexpr (std::is_same_v<std::invoke_result_t<F&, int>, bool>) {
                return f(signal_number);
            } else {
                f(signal_number);
                return true;
            }
        };
        for (std::size_t position = dequeue_position_.load(std::memory_order_relaxed);; ++position) {
            cell const& c = cells_[position % capacity];
            if (c.sequence.load(std::memory_order_acquire) != position + 1)
                break;
            if (!go_on(c.signal_number.load(std::memory_order_relaxed)))
                return;
        }
        for (int s = 1; s < NSIG; ++s)
            for (unsigned n = overflow_[s].load(std::memory_order_relaxed); n > 0; --n)
                if (!go_on(s))
                    return;
    }

private:
    // Each slot's sequence tells whose turn it is: position for a writer,
    // position + 1 once written, position + capacity once read.
    struct cell {
        std::atomic<std::size_t> sequence;
        std::atomic<int> signal_number{0};
    };

    static_assert(std::atomic<std::size_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                      std::atomic<unsigned>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
                  "a signal handler may touch only lock-free atomics");

    cell cells_[capacity];
    std::atomic<std::size_t> enqueue_position_{0};
    std::atomic<std::size_t> dequeue_position_{0};
    std::atomic<unsigned> overflow_[NSIG] = {};
    std::atomic<bool> pending_{false};
    int wake_[2] = {-1, -1};
};

// Installs handler for the given signals. While it runs it blocks all of
// them, so that no push interrupts another on its thread; the calls it
// interrupts are restarted where the kernel can. The signals are unblocked
// too: whoever started the process may have left them blocked. 0, or -1
// with errno set.
inline int catch_signals(std::initializer_list<int> signals, void (*handler)(int)) noexcept
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : signals)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : signals)
        if (::sigaction(signal_number, &action, nullptr) != 0)
            return -1;
    return ::sigprocmask(SIG_UNBLOCK, &action.sa_mask, nullptr);
}

// Blocks every signal on the calling thread while it lives: no handler runs
// in between, and a thread started meanwhile inherits the mask.
class signals_blocked {
public:
    signals_blocked() noexcept
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before_);
    }
    ~signals_blocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    signals_blocked(signals_blocked const&) = delete;
    signals_blocked& operator=(signals_blocked const&) = delete;

private:
    sigset_t before_;
};
