#pragma once
// A scripted stand-in for one family of the tunnel library's exports, and a log sink
// that collects lines. Each family's calls are recorded in order ("get_handle",
// "create:<path>", "start", "stop", "drop", "active"); results come from scripts and
// then from defaults.
#include "text.h"
#include "tunnel_family.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake
{
struct family_state {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;

    void* handle = nullptr;
    std::deque<bool> create_results;
    bool create_default = true;
    std::deque<bool> start_results;
    bool start_default = true;
    std::deque<bool> active_results;
    bool active_default = true;
    bool stop_result = true;
    std::chrono::milliseconds stop_delay{0};
    std::chrono::milliseconds create_delay{0}; // after the call is recorded

    log_callback callback = nullptr;
    std::uint32_t level = 0;
    bool capture = false;

    void reset()
    {
        std::lock_guard lock(mutex);
        calls.clear();
        create_results.clear();
        start_results.clear();
        active_results.clear();
        create_default = start_default = active_default = stop_result = true;
        stop_delay = create_delay = std::chrono::milliseconds(0);
        callback = nullptr;
        level = 0;
        capture = false;
    }

    void record(std::string call)
    {
        {
            std::lock_guard lock(mutex);
            calls.push_back(std::move(call));
        }
        changed.notify_all();
    }

    bool next(std::deque<bool>& script, bool fallback)
    {
        std::lock_guard lock(mutex);
        if (script.empty())
            return fallback;
        const bool result = script.front();
        script.pop_front();
        return result;
    }

    std::vector<std::string> snapshot()
    {
        std::lock_guard lock(mutex);
        return calls;
    }

    std::size_t count(const std::string& call)
    {
        std::lock_guard lock(mutex);
        std::size_t n = 0;
        for (const auto& c : calls)
            n += c == call;
        return n;
    }

    // Waits until the predicate over the calls holds; false after the timeout.
    bool wait_until(const std::function<bool(const std::vector<std::string>&)>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return predicate(calls); });
    }

    bool wait_for_count(const std::string& call, std::size_t n,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        return wait_until(
            [&](const std::vector<std::string>& calls) {
                std::size_t seen = 0;
                for (const auto& c : calls)
                    seen += c == call;
                return seen >= n;
            },
            timeout);
    }
};

// One fake family per index, so that a test can tell the tdl_ table from the tdlp_ one.
template <int Index>
struct family {
    static family_state& state()
    {
        static family_state instance;
        return instance;
    }
    static void* get_handle(log_callback callback, std::uint32_t level, bool capture)
    {
        auto& s = state();
        {
            std::lock_guard lock(s.mutex);
            s.callback = callback;
            s.level = level;
            s.capture = capture;
        }
        s.record("get_handle");
        return s.handle;
    }
    static bool create(void*, const wchar_t* path)
    {
        state().record("create:" + to_utf8(path));
        std::this_thread::sleep_for(state().create_delay);
        return state().next(state().create_results, state().create_default);
    }
    static bool start(void*)
    {
        state().record("start");
        return state().next(state().start_results, state().start_default);
    }
    static bool stop(void*)
    {
        std::this_thread::sleep_for(state().stop_delay);
        state().record("stop");
        return state().stop_result;
    }
    static bool drop(void*)
    {
        state().record("drop");
        return true;
    }
    static bool active(void*)
    {
        state().record("active");
        return state().next(state().active_results, state().active_default);
    }
    static tunnel_family table() { return {&get_handle, &create, &start, &stop, &drop, &active}; }
};

// Collects the lines of the log sink.
struct log_collector {
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> l;
        return l;
    }
    static void sink(const char* text)
    {
        std::lock_guard lock(mutex());
        lines().emplace_back(text);
    }
    static void clear()
    {
        std::lock_guard lock(mutex());
        lines().clear();
    }
    static std::vector<std::string> snapshot()
    {
        std::lock_guard lock(mutex());
        return lines();
    }
};
} // namespace fake
