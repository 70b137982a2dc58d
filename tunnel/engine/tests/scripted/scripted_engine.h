#pragma once
// A WireGuard engine whose answers the test scripts, behind the same C interface as the
// real one (linked in its place into the scripted-engine tests), with the engine clock
// that the tunnel's dead-tunnel watch reads.
//
// Each tick takes the next scripted result (done when none is left) and writes `size`
// bytes of a recognisable pattern; force_handshake answers with its own result. Keys
// that begin with "bad" are refused.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wgengine/wireguard_engine.h"

namespace scripted
{
struct created_tunnel {
    std::string private_key;
    std::string public_key;
    std::optional<std::string> preshared_key;
    std::uint16_t keep_alive = 0;
    std::uint32_t index = 0;
};

class engine
{
public:
    static engine& instance();

    // Back to no script, no records, zero statistics and the clock at its start.
    void reset();

    void push_tick(result_type op, std::size_t size);
    // Answers of wireguard_read and wireguard_write, in order (done when none is left):
    // the result, and the bytes written to the destination (the pattern when empty,
    // never more than the destination holds).
    void push_read(result_type op, std::size_t size, std::vector<std::uint8_t> content = {});
    void push_write(result_type op, std::size_t size, std::vector<std::uint8_t> content = {});
    // The source sizes and destination capacities that the calls were given.
    struct packet_call {
        std::uint32_t source_size = 0;
        std::uint32_t destination_size = 0;
    };
    std::vector<packet_call> reads() const;
    std::vector<packet_call> writes() const;
    void set_force_handshake(result_type op, std::size_t size);
    void set_stats(std::int64_t since_handshake, std::uint64_t tx, std::uint64_t rx);

    void advance_clock(std::chrono::nanoseconds by);
    std::uint64_t clock() const;

    std::size_t ticks() const;
    std::size_t force_handshakes() const;
    std::size_t live_tunnels() const;
    std::vector<created_tunnel> created() const;
    // Waits until at least n ticks happened; false on time-out.
    bool wait_for_ticks(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

    // The C interface's side.
    wireguard_tunnel* create(const char* private_key, const char* public_key, const char* preshared_key,
                             std::uint16_t keep_alive, std::uint32_t index);
    void destroy(wireguard_tunnel* tunnel);
    wireguard_result tick(std::uint8_t* dst, std::uint32_t size);
    wireguard_result force(std::uint8_t* dst, std::uint32_t size);
    wireguard_result read(std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size);
    wireguard_result write(std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size);
    stats read_stats() const;

private:
    engine() = default;

    mutable std::mutex mutex_;
    mutable std::condition_variable ticked_;
    struct scripted_answer {
        wireguard_result result;
        std::vector<std::uint8_t> content;
    };
    wireguard_result answer(std::deque<scripted_answer>& script, std::vector<packet_call>& calls,
                            std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size);

    std::deque<wireguard_result> ticks_script_;
    std::deque<scripted_answer> reads_script_;
    std::deque<scripted_answer> writes_script_;
    std::vector<packet_call> reads_;
    std::vector<packet_call> writes_;
    wireguard_result force_{WIREGUARD_DONE, 0};
    stats stats_{};
    std::size_t ticks_ = 0;
    std::size_t forces_ = 0;
    std::size_t live_ = 0;
    std::vector<created_tunnel> created_;
    std::uint64_t clock_ = 5'000'000'000'000ull;
};

// The byte at position i of a scripted datagram.
constexpr std::uint8_t pattern_byte(std::size_t i) { return static_cast<std::uint8_t>(0x5A ^ i); }
} // namespace scripted
