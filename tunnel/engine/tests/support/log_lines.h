#pragma once
// The record of every line that the library logs, for the tests' expectations.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace tunnel_test
{
// Every line that any tunnel of the test program logs (the log callback is a plain
// function, so the record is global).
class log_lines
{
public:
    static log_lines& instance()
    {
        static log_lines l;
        return l;
    }
    static void callback(const char* line) { instance().add(line); }

    void add(const char* line)
    {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    std::vector<std::string> all() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::size_t count(const std::string& line) const
    {
        const auto l = all();
        return static_cast<std::size_t>(std::count(l.begin(), l.end(), line));
    }
    bool contains(const std::string& line) const { return count(line) != 0; }
    std::size_t count_starting(const std::string& prefix) const
    {
        const auto l = all();
        return static_cast<std::size_t>(
            std::count_if(l.begin(), l.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
    }
    std::string text() const
    {
        std::string t;
        for (const auto& l : all())
            t += "  | " + l + (l.empty() || l.back() != '\n' ? "\n" : "");
        return t;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};
} // namespace tunnel_test
