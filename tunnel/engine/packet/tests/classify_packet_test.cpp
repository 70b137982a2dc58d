// Packet classification: the rules and their order over a table of configurations and
// frames, the decision lines, application matching, the family lock, and hostile
// frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app_match.h"
#include "classify_packet.h"
#include "config/address_parsers.h"
#include "config/app_list.h"
#include "host.h"
#include "socket_owners.h"
#include "packet_builder.h"

using namespace testpkt;

namespace
{
// ---- the log -------------------------------------------------------------------------

std::mutex log_mutex;
std::vector<std::string> log_lines;

void capture(const char* line)
{
    std::lock_guard lock(log_mutex);
    log_lines.emplace_back(line);
}

std::vector<std::string> take_lines()
{
    std::lock_guard lock(log_mutex);
    std::vector<std::string> taken;
    taken.swap(log_lines);
    return taken;
}

// ---- configurations ------------------------------------------------------------------

struct config_text {
    const char* allowed_ips = "0.0.0.0/0, ::/0";
    const char* disallowed_ips = "";
    const char* dns = "";
    const char* allowed_apps = "";
    const char* disallowed_apps = "";
    bool bypass = false;
};

wireguard::wg_config make_config(const config_text& c)
{
    wireguard::wg_config config;
    config.peer_config.allowed_ips = wireguard::parse_prefix_list(c.allowed_ips);
    config.peer_config.disallowed_ips = wireguard::parse_prefix_list(c.disallowed_ips);
    config.interface_config.dns = wireguard::parse_ip_list(c.dns);
    config.peer_config.allowed_apps = wireguard::split_app_list(c.allowed_apps);
    config.peer_config.disallowed_apps = wireguard::split_app_list(c.disallowed_apps);
    return config;
}

// ---- the host's programs and sockets --------------------------------------------------

const std::string chrome = "C:\\Program Files\\Google\\Chrome\\chrome.exe";
const std::string firefox = "C:\\Program Files\\Mozilla\\firefox.exe";
const std::string game = "D:\\Games\\game.exe";
const std::string tool = "C:/Tools/tool.exe";

// 192.0.2.10 (ipv4_a) talks to 198.51.100.7 (ipv4_b); 2001:db8::1 to 2001:db8::2.
void build_world()
{
    auto& o = simhost::socket_owners::instance();
    o.add_program(100, L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
    o.add_program(200, L"Firefox.EXE", L"C:\\Program Files\\Mozilla\\firefox.exe");
    o.add_program(300, L"Dnscache", L"C:\\Windows\\system32\\svchost.exe");
    o.add_program(400, L"game.exe", L"D:\\Games\\game.exe");
    o.add_program(500, L"tool.exe", L"C:/Tools/tool.exe");
    o.add_program(simhost::program{600, std::wstring(L"System"), std::nullopt});
    o.add_program(700, L"x.exe", L"C:\\\u0100\u00e9\\x.exe");
    const std::uint32_t tcp_owners[] = {100, 200, 400, 500, 600, 700};
    for (std::uint16_t i = 0; i < 6; ++i) {
        o.add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(50000 + i), "198.51.100.7", 443, tcp_owners[i]);
        o.add_tcp_connection("2001:db8::1", static_cast<std::uint16_t>(50000 + i), "2001:db8::2", 443, tcp_owners[i]);
    }
    o.add_udp_socket("192.0.2.10", 40000, 100);
    o.add_udp_socket("192.0.2.10", 40001, 200);
    o.add_udp_socket("0.0.0.0", 53000, 300);
    o.add_udp_socket("::", 40000, 100);
    o.add_udp_socket("2001:db8::1", 53000, 300);
}

// ---- frames --------------------------------------------------------------------------

constexpr std::uint16_t eth_ipv4 = 0x0800;
constexpr std::uint16_t eth_ipv6 = 0x86DD;
constexpr std::uint8_t syn = 0x02;
constexpr std::uint8_t ack = 0x10;
constexpr std::uint8_t syn_ack = 0x12;

struct frame {
    std::uint16_t ether_type = eth_ipv4;
    bytes ip;
    std::optional<std::uint32_t> length = std::nullopt; // a frame length field other than the packet's
};

frame tcp4(std::uint16_t sport, std::uint8_t flags = syn, ipv4_address dst = ipv4_b)
{
    return {eth_ipv4, ipv4(6, tcp(sport, 443, {}, flags), 5, 0x4000, ipv4_a, dst)};
}

frame udp4(std::uint16_t sport, std::uint16_t dport = 443, ipv4_address dst = ipv4_b)
{
    return {eth_ipv4, ipv4(17, udp(sport, dport, pattern(20)), 5, 0x4000, ipv4_a, dst)};
}

frame tcp6(std::uint16_t sport, std::uint8_t flags = syn)
{
    return {eth_ipv6, ipv6(6, tcp(sport, 443, {}, flags))};
}

frame udp6(std::uint16_t sport, std::uint16_t dport = 443)
{
    return {eth_ipv6, ipv6(17, udp(sport, dport, pattern(20)))};
}

// The first n bytes.
bytes head(const bytes& b, std::size_t n)
{
    return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

frame with_byte(frame f, std::size_t at, std::uint8_t value)
{
    f.ip.at(at) = value;
    return f;
}

// ---- expected lines -------------------------------------------------------------------

std::string tcp_line(const std::string& path, std::uint16_t sport, const char* prefix = "")
{
    return std::string("[FILTER]: ") + prefix + path + " : TCP : 192.0.2.10:" + std::to_string(sport) +
           " -> 198.51.100.7:443";
}

std::string udp_line(const std::string& path, std::uint16_t sport, const char* prefix = "")
{
    return std::string("[FILTER]: ") + prefix + path + " : UDP : 192.0.2.10:" + std::to_string(sport) +
           " -> 198.51.100.7:443";
}

const std::string protocol_line_icmp = "[FILTER]: PROTOCOL 1 : 192.0.2.10 -> 198.51.100.7";

struct classify_case {
    const char* name;
    config_text config;
    frame packet;
    bool tunnel;
    std::vector<std::string> lines; // at level 3, for the first classification
    bool repeat = false;            // the same lines again for a second classification
};

std::ostream& operator<<(std::ostream& out, const classify_case& c)
{
    return out << c.name;
}

// Parameters of the fixed world: a configured DNS server and two of them.
constexpr const char* dns_v4 = "10.0.0.53";

constexpr ipv4_address lan_server = {192, 168, 1, 1};
frame ipv6_to(std::uint8_t next, const bytes& payload, ipv6_address dst)
{
    return {eth_ipv6, ipv6(next, payload, ipv6_a, dst)};
}
constexpr ipv6_address v6(std::uint16_t first, std::uint16_t last)
{
    return {static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            static_cast<std::uint8_t>(last >> 8), static_cast<std::uint8_t>(last)};
}
// Both default routes, a DNS server and an application list of sockets without an owner.
constexpr config_text everything = {.dns = dns_v4, .allowed_apps = "SYSTEM"};

const classify_case cases[] = {
    // EtherType
    {"arp_is_never_tunnelled", {}, {0x0806, pattern(28)}, false, {}},

    // DisallowedIPs before everything
    {"disallowed_destination_also_in_allowed_ips", {.disallowed_ips = "198.51.100.0/24"}, tcp4(50000), false,
     {"[FILTER]: Skipping ignored IP: PROTOCOL 6 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"disallowed_beats_the_dns_rule", {.disallowed_ips = "198.51.100.7/32", .dns = dns_v4}, udp4(40000, 53), false,
     {"[FILTER]: Skipping ignored IP: PROTOCOL 17 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"disallowed_of_the_other_family_does_not_apply", {.disallowed_ips = "::/0"}, tcp4(50000, ack), true, {}},
    {"disallowed_ipv6_reports_the_walked_protocol", {.disallowed_ips = "2001:db8::/32"},
     {eth_ipv6, ipv6(0, concat(options_header(60), concat(options_header(6), tcp(50000, 443, {}, syn))))}, false,
     {"[FILTER]: Skipping ignored IP: PROTOCOL 6 : 2001:db8::1 -> 2001:db8::2"}, true},

    // TCP with no application lists
    {"tcp_syn_in_allowed_ips_is_logged_once_per_syn", {}, tcp4(50000), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : TCP : 192.0.2.10:50000 -> 198.51.100.7:443"}, true},
    {"tcp_data_segment_is_not_logged", {}, tcp4(50000, ack | 0x08), true, {}},
    {"tcp_syn_ack_is_not_logged", {}, tcp4(50000, syn_ack), true, {}},
    {"tcp_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8"}, tcp4(50000), false, {}},
    {"tcp_of_an_unknown_socket_logs_system", {}, tcp4(50009), true, {tcp_line("SYSTEM", 50009)}, true},
    {"allowed_ips_of_the_other_family_only", {.allowed_ips = "::/0"}, tcp4(50000), false, {}},
    {"allowed_entry_with_host_bits_is_masked", {.allowed_ips = "198.51.100.99/24"}, tcp4(50000, ack), true, {}},
    {"allowed_entry_of_another_network", {.allowed_ips = "198.51.101.0/24"}, tcp4(50000, ack), false, {}},

    // AllowedApps and DisallowedApps, TCP
    {"allowed_app_by_name", {.allowed_apps = "chrome.exe"}, tcp4(50000), true, {tcp_line(chrome, 50000)}, true},
    {"program_missing_from_allowed_apps", {.allowed_apps = "CHROME.EXE"}, tcp4(50001), false, {}},
    {"allowed_app_as_a_part_of_the_name_in_another_case", {.allowed_apps = "FIREFOX"}, tcp4(50001), true,
     {tcp_line(firefox, 50001)}, true},
    {"allowed_app_by_folder_matches_chrome", {.allowed_apps = "C:\\PROGRAM FILES\\"}, tcp4(50000), true,
     {tcp_line(chrome, 50000)}, true},
    {"allowed_app_by_folder_matches_firefox", {.allowed_apps = "c:\\program files\\"}, tcp4(50001, ack), true, {}},
    {"allowed_app_by_folder_misses_another_drive", {.allowed_apps = "C:\\PROGRAM FILES\\"}, tcp4(50002), false, {}},
    {"entry_with_a_slash_is_matched_against_the_path", {.allowed_apps = "C:/TOOLS/"}, tcp4(50003), true,
     {tcp_line(tool, 50003)}, true},
    {"entry_with_a_slash_is_not_matched_against_the_name", {.allowed_apps = "/CHROME.EXE"}, tcp4(50000), false, {}},
    {"entry_without_a_slash_is_not_matched_against_the_path", {.allowed_apps = "GAMES"}, tcp4(50002), false, {}},
    {"disallowed_app_is_skipped_and_logged", {.disallowed_apps = "CHROME.EXE"}, tcp4(50000), false,
     {"[FILTER]: Skipping C:\\Program Files\\Google\\Chrome\\chrome.exe : TCP : 192.0.2.10:50000 -> "
      "198.51.100.7:443"},
     true},
    {"other_program_than_the_disallowed_one", {.disallowed_apps = "CHROME.EXE"}, tcp4(50001), true,
     {tcp_line(firefox, 50001)}, true},
    {"allowed_apps_are_asked_before_disallowed_apps",
     {.allowed_apps = "CHROME.EXE", .disallowed_apps = "CHROME.EXE"}, tcp4(50000), true, {tcp_line(chrome, 50000)},
     true},
    {"neither_list_matches_while_allowed_apps_is_set", {.allowed_apps = "GAME.EXE", .disallowed_apps = "FIREFOX"},
     tcp4(50000), false, {}},
    {"system_is_the_owner_when_none_is_found", {.allowed_apps = "SYSTEM"}, tcp4(50009), true,
     {tcp_line("SYSTEM", 50009)}, true},
    {"a_row_without_a_path_is_system", {.allowed_apps = "SYSTEM"}, tcp4(50004), true, {tcp_line("SYSTEM", 50004)},
     true},
    {"path_narrowed_to_its_low_bytes_without_ending_the_line", {}, tcp4(50005), true,
     {"[FILTER]: C:\\?\xe9\\x.exe : TCP : 192.0.2.10:50005 -> 198.51.100.7:443"}, true},
    {"unknown_owner_misses_a_named_allowed_app", {.allowed_apps = "CHROME.EXE"}, tcp4(50009), false, {}},
    {"allowed_app_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8", .allowed_apps = "CHROME.EXE"}, tcp4(50000),
     false, {}},

    // UDP
    {"udp_with_no_lists_is_logged_once_per_socket", {}, udp4(40000), true, {udp_line(chrome, 40000)}},
    {"udp_of_an_unknown_socket", {}, udp4(40009), true, {udp_line("SYSTEM", 40009)}},
    {"udp_allowed_app", {.allowed_apps = "CHROME"}, udp4(40000), true, {udp_line(chrome, 40000)}},
    {"udp_program_missing_from_allowed_apps", {.allowed_apps = "CHROME"}, udp4(40001), false, {}},
    {"udp_disallowed_app", {.disallowed_apps = "FIREFOX.EXE"}, udp4(40001), false,
     {udp_line(firefox, 40001, "Skipping ")}},
    {"udp_wildcard_socket_owner", {.allowed_apps = "DNSCACHE"}, udp4(53000), true,
     {udp_line("C:\\Windows\\system32\\svchost.exe", 53000)}},
    {"udp_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8"}, udp4(40000), false, {}},

    // The DNS rule
    {"dns_query_is_tunnelled_outside_allowed_ips_and_against_the_app_lists",
     {.allowed_ips = "10.0.0.0/8", .dns = dns_v4, .allowed_apps = "FIREFOX", .disallowed_apps = "CHROME"},
     udp4(40000, 53), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : DNS : 192.0.2.10:40000 -> 10.0.0.53[198.51.100.7]:53"}},
    {"dns_query_without_dns_servers_follows_the_udp_rules", {.allowed_ips = "10.0.0.0/8"}, udp4(40000, 53), false,
     {}},
    {"dns_line_names_the_first_server_in_its_own_family", {.dns = "2001:db8::53, 10.0.0.53"}, udp4(40000, 53), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : DNS : 192.0.2.10:40000 -> "
      "2001:db8::53[198.51.100.7]:53"}},
    {"dns_cache_bypass_leaves_the_dns_client_outside", {.dns = dns_v4, .bypass = true}, udp4(53000, 53), false, {}},
    {"dns_cache_bypass_keeps_other_programs_inside", {.dns = dns_v4, .bypass = true}, udp4(40000, 53), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : DNS : 192.0.2.10:40000 -> 10.0.0.53[198.51.100.7]:53"}},
    {"dns_client_without_the_bypass_is_tunnelled", {.dns = dns_v4}, udp4(53000, 53), true,
     {"[FILTER]: C:\\Windows\\system32\\svchost.exe : DNS : 192.0.2.10:53000 -> 10.0.0.53[198.51.100.7]:53"}},
    {"ipv6_dns_query", {.dns = "2001:db8::53"}, udp6(53000, 53), true,
     {"[FILTER]: C:\\Windows\\system32\\svchost.exe : DNS : 2001:db8::1:53000 -> 2001:db8::53[2001:db8::2]:53"}},
    {"tcp_to_port_53_is_no_dns_query", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     {eth_ipv4, ipv4(6, tcp(50000, 53, {}, syn))}, false, {}},

    // Other protocols
    {"icmp_in_allowed_ips_is_logged_every_time", {}, {eth_ipv4, ipv4(1, echo(8, pattern(8)))}, true,
     {protocol_line_icmp}, true},
    {"icmp_is_never_tunnelled_while_allowed_apps_is_set", {.allowed_apps = "CHROME.EXE"},
     {eth_ipv4, ipv4(1, echo(8, pattern(8)))}, false, {}},
    {"icmp_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8"}, {eth_ipv4, ipv4(1, echo(8, pattern(8)))}, false, {}},
    {"icmpv6", {}, {eth_ipv6, ipv6(58, echo(128, pattern(8)))}, true,
     {"[FILTER]: PROTOCOL 58 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"icmpv6_while_allowed_apps_is_set", {.allowed_apps = "CHROME.EXE"}, {eth_ipv6, ipv6(58, echo(128, {}))}, false,
     {}},

    // IPv6
    {"ipv6_tcp_allowed_app", {.allowed_apps = "CHROME.EXE"}, tcp6(50000), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : TCP : 2001:db8::1:50000 -> 2001:db8::2:443"}, true},
    {"ipv6_tcp_program_missing_from_allowed_apps", {.allowed_apps = "CHROME.EXE"}, tcp6(50001), false, {}},
    {"ipv6_udp_wildcard_socket", {.allowed_apps = "CHROME.EXE"}, udp6(40000), true,
     {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : UDP : 2001:db8::1:40000 -> 2001:db8::2:443"}},
    {"ipv6_extension_headers_before_tcp", {.allowed_apps = "CHROME.EXE"},
     {eth_ipv6, ipv6(0, concat(options_header(43), concat(routing_header(60), concat(options_header(6), tcp(50000, 443, {}, syn)))))},
     true, {"[FILTER]: C:\\Program Files\\Google\\Chrome\\chrome.exe : TCP : 2001:db8::1:50000 -> 2001:db8::2:443"},
     true},
    {"ipv6_first_fragment_is_classified_by_its_ports", {.allowed_apps = "FIREFOX"},
     {eth_ipv6, ipv6(44, concat(fragment_header(6, 0, true), tcp(50001, 443, {}, ack)))}, true, {}},
    {"ipv6_first_fragment_of_a_program_not_allowed", {.allowed_apps = "CHROME.EXE"},
     {eth_ipv6, ipv6(44, concat(fragment_header(6, 0, true), tcp(50001, 443, {}, ack)))}, false, {}},
    {"allowed_ipv6_prefix_compared_in_both_halves", {.allowed_ips = "2001:db8::3/127"}, tcp6(50000, ack), true, {}},
    {"allowed_ipv6_prefix_differing_in_the_second_half", {.allowed_ips = "2001:db8::4/127"}, tcp6(50000, ack), false,
     {}},
    {"ipv6_prefix_longer_than_64_bits", {.allowed_ips = "2001:db8::8000:0:0:0/65"}, tcp6(50000, ack), false, {}},

    // Fragments without a transport header: by destination, ports never read
    {"ipv4_later_fragment_follows_allowed_ips_despite_allowed_apps", {.allowed_apps = "GAME.EXE"},
     {eth_ipv4, ipv4(17, udp(40000, 443, pattern(40)), 5, 0x00B9)}, true,
     {"[FILTER]: PROTOCOL 17 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"ipv4_later_fragment_whose_bytes_look_like_a_dns_cache_query",
     {.dns = dns_v4, .allowed_apps = "CHROME", .bypass = true},
     {eth_ipv4, ipv4(17, udp(53000, 53, pattern(40)), 5, 0x2010)}, true,
     {"[FILTER]: PROTOCOL 17 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"ipv4_later_fragment_whose_bytes_look_like_a_disallowed_app", {.disallowed_apps = "CHROME.EXE"},
     {eth_ipv4, ipv4(6, tcp(50000, 443, {}, syn), 5, 0x0003)}, true,
     {"[FILTER]: PROTOCOL 6 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"ipv4_later_fragment_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     {eth_ipv4, ipv4(17, udp(40000, 53, pattern(40)), 5, 0x00B9)}, false, {}},
    {"ipv4_later_fragment_in_disallowed_ips", {.disallowed_ips = "198.51.100.7"},
     {eth_ipv4, ipv4(17, udp(40000, 443, pattern(40)), 5, 0x00B9)}, false,
     {"[FILTER]: Skipping ignored IP: PROTOCOL 17 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"ipv4_first_fragment_is_classified_by_its_ports", {.allowed_apps = "CHROME"},
     {eth_ipv4, ipv4(6, tcp(50000, 443, {}, syn), 5, 0x2000)}, true, {tcp_line(chrome, 50000)}, true},
    {"ipv4_options_before_tcp", {.allowed_apps = "FIREFOX"}, {eth_ipv4, ipv4(6, tcp(50001, 443, {}, syn), 9)}, true,
     {tcp_line(firefox, 50001)}, true},
    {"ipv4_tcp_header_cut_short", {.allowed_apps = "GAME.EXE"},
     {eth_ipv4, ipv4(6, head(tcp(50000, 443, {}, syn), 12))}, true,
     {"[FILTER]: PROTOCOL 6 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"ipv4_udp_header_cut_short_outside_allowed_ips", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     {eth_ipv4, ipv4(17, bytes{0x9c, 0x40, 0x00, 0x35})}, false, {}},
    {"ipv6_later_fragment_follows_allowed_ips_despite_allowed_apps", {.allowed_apps = "GAME.EXE"},
     {eth_ipv6, ipv6(44, concat(fragment_header(17, 185, false), udp(40000, 443, pattern(40))))}, true,
     {"[FILTER]: PROTOCOL 17 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"ipv6_later_fragment_with_a_small_offset", {.allowed_apps = "GAME.EXE"},
     {eth_ipv6, ipv6(44, concat(fragment_header(6, 1, true), tcp(50000, 443, {}, syn)))}, true,
     {"[FILTER]: PROTOCOL 6 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"ipv6_later_fragment_outside_allowed_ips", {.allowed_ips = "0.0.0.0/0"},
     {eth_ipv6, ipv6(44, concat(fragment_header(17, 185, false), udp(40000, 443, pattern(40))))}, false, {}},
    {"ipv6_later_fragment_of_icmpv6_is_another_protocol", {.allowed_apps = "GAME.EXE"},
     {eth_ipv6, ipv6(44, concat(fragment_header(58, 185, false), pattern(40)))}, false, {}},
    {"ipv6_chain_cut_inside_extension_headers", {.allowed_apps = "GAME.EXE"},
     {eth_ipv6, ipv6(0, head(options_header(60, 3), 8))}, true, {"[FILTER]: PROTOCOL 60 : 2001:db8::1 -> 2001:db8::2"},
     true},
    {"ipv6_chain_cut_before_the_tcp_header", {.allowed_apps = "GAME.EXE"},
     {eth_ipv6, ipv6(0, concat(options_header(60, 0), bytes{6, 9, 1, 2, 0, 0, 0, 0}))}, true,
     {"[FILTER]: PROTOCOL 6 : 2001:db8::1 -> 2001:db8::2"}, true},

    // Link-scope traffic stays on its link whatever the lists say; what lies beside it
    // follows the rules.
    {"dhcp_renewal_to_the_lan_server", everything, udp4(68, 67, lan_server), false, {}},
    {"port_67_from_another_port_is_no_dhcp", {}, udp4(40000, 67, lan_server), true,
     {"[FILTER]: " + chrome + " : UDP : 192.0.2.10:40000 -> 192.168.1.1:67"}},
    {"limited_broadcast", {}, udp4(40000, 137, {255, 255, 255, 255}), false, {}},
    {"local_network_control_block", {}, udp4(40000, 5353, {224, 0, 0, 251}), false, {}},
    {"dhcpv6_to_a_unicast_server", everything, ipv6_to(17, udp(546, 547, pattern(20)), ipv6_b), false, {}},
    {"dns_query_to_a_link_local_resolver", {.dns = "2001:db8::53"}, ipv6_to(17, udp(53000, 53, pattern(20)), v6(0xfe80, 1)),
     true, {"[FILTER]: C:\\Windows\\system32\\svchost.exe : DNS : 2001:db8::1:53000 -> 2001:db8::53[fe80::1]:53"}},
    {"router_solicitation", {}, ipv6_to(58, echo(133, pattern(8)), v6(0xff02, 2)), false, {}},
    {"mldv1_report_behind_hop_by_hop_options", {},
     ipv6_to(0, concat(options_header(58), echo(131, pattern(16))), v6(0xff05, 0x0103)), false, {}},

    // Frames that fail the frame checks
    {"ipv6_header_with_version_4_in_allowed_ips", {}, with_byte(tcp6(50000), 0, 0x40), true,
     {"[FILTER]: PROTOCOL 0 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"ipv6_header_with_version_4_despite_allowed_apps", {.allowed_apps = "CHROME.EXE"},
     with_byte(tcp6(50000), 0, 0x40), true, {"[FILTER]: PROTOCOL 0 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"ipv6_header_with_version_4_in_disallowed_ips", {.disallowed_ips = "2001:db8::2"},
     with_byte(tcp6(50000), 0, 0x40), false,
     {"[FILTER]: Skipping ignored IP: PROTOCOL 0 : 2001:db8::1 -> 2001:db8::2"}, true},
    {"truncated_ipv4_packet_in_allowed_ips", {.allowed_apps = "GAME.EXE"}, with_byte(tcp4(50000), 2, 0x7F), true,
     {"[FILTER]: PROTOCOL 6 : 192.0.2.10 -> 198.51.100.7"}, true},
    {"truncated_ipv4_tcp_outside_allowed_ips_with_dns", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     with_byte(tcp4(50000), 2, 0x7F), false, {}},
    {"truncated_ipv4_udp_outside_allowed_ips_with_dns", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     with_byte(udp4(40000, 53), 2, 0x7F), true, {}},
    {"truncated_ipv4_udp_outside_allowed_ips_without_dns", {.allowed_ips = "10.0.0.0/8"},
     with_byte(udp4(40000, 53), 2, 0x7F), false, {}},
    {"truncated_ipv6_outside_allowed_ips_with_dns", {.allowed_ips = "10.0.0.0/8", .dns = dns_v4},
     with_byte(udp6(40000, 53), 4, 0x7F), true, {}},
    {"ipv4_frame_ending_before_the_destination", {}, {eth_ipv4, head(ipv4(6, {}), 19)},
     false, {}},
    {"frame_shorter_than_an_ethernet_header", {}, {eth_ipv4, {}, 10}, false, {}},
    {"frame_length_beyond_the_frame_area", {}, {eth_ipv4, ipv4(6, tcp(50000, 443, {}, syn)), 1600}, true, {}},
};

class classification_table : public ::testing::TestWithParam<classify_case>
{
protected:
    void SetUp() override
    {
        simhost::host::instance().reset();
        take_lines();
    }
    void TearDown() override
    {
        for (const auto& text : simhost::socket_owners::instance().violations())
            ADD_FAILURE() << "owner table rule broken: " << text;
        simhost::host::instance().reset();
    }
};

TEST_P(classification_table, decides_and_logs)
{
    const classify_case& c = GetParam();
    const wireguard::wg_config config = make_config(c.config);
    for (const std::uint32_t level : {3u, 2u, 0u}) {
        SCOPED_TRACE("level " + std::to_string(level));
        simhost::host::instance().reset();
        // Caches built before the sockets exist: the first lookup of each misses.
        iphelper::process_lookup_v4 v4;
        iphelper::process_lookup_v6 v6;
        build_world();

        guarded_record r;
        load(r.record, c.packet.ether_type, c.packet.ip);
        if (c.packet.length)
            r.record.length = *c.packet.length;
        const _INTERMEDIATE_BUFFER before = r.record;

        wireguard::classification_input input;
        input.config = &config;
        input.dns_cache_bypass = c.config.bypass;
        input.log_level = level;
        input.logger = capture;
        EXPECT_EQ(wireguard::classify_frame(input, r.record, {&v4, &v6}), c.tunnel);
        EXPECT_EQ(take_lines(), level >= 3 ? c.lines : std::vector<std::string>{});
        EXPECT_EQ(wireguard::classify_frame(input, r.record, {&v4, &v6}), c.tunnel) << "second time";
        EXPECT_EQ(take_lines(), level >= 3 && c.repeat ? c.lines : std::vector<std::string>{}) << "second time";

        input.logger = nullptr; // level 3 without a callback
        input.log_level = 3;
        EXPECT_EQ(wireguard::classify_frame(input, r.record, {&v4, &v6}), c.tunnel) << "no callback";

        EXPECT_EQ(std::memcmp(&before, &r.record, sizeof before), 0) << "the record was changed";
        EXPECT_TRUE(r.canary_intact());
    }
}

INSTANTIATE_TEST_SUITE_P(rules, classification_table, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<classify_case>& info) { return std::string(info.param.name); });

// ---- owner lookups are made only when needed -------------------------------------------

class classification : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simhost::host::instance().reset();
        take_lines();
    }
    void TearDown() override { simhost::host::instance().reset(); }
    static simhost::socket_owners& owners() { return simhost::socket_owners::instance(); }
};

TEST_F(classification, no_owner_lookup_without_application_lists_below_level_3)
{
    iphelper::process_lookup_v4 v4;
    iphelper::process_lookup_v6 v6;
    build_world();
    owners().clear_calls();
    const wireguard::wg_config config = make_config({.dns = dns_v4});
    wireguard::classification_input input{&config, false, 2, capture};
    guarded_record r;
    for (const frame& f : {tcp4(50000), udp4(40000), udp4(40000, 53), tcp6(50000), udp6(40000)}) {
        load(r.record, f.ether_type, f.ip);
        EXPECT_TRUE(wireguard::classify_frame(input, r.record, {&v4, &v6}));
    }
    EXPECT_TRUE(owners().calls().empty());
    // At level 3 a first SYN and every UDP datagram need the owner for the line.
    input.log_level = 3;
    load(r.record, eth_ipv4, udp4(40000).ip);
    wireguard::classify_frame(input, r.record, {&v4, &v6});
    EXPECT_GE(owners().call_count(simhost::owner_function::get_extended_udp_table), 1u);
    EXPECT_EQ(owners().call_count(simhost::owner_function::get_extended_tcp_table), 0u);
}

TEST_F(classification, a_known_flow_is_classified_without_reading_a_table)
{
    build_world();
    iphelper::process_lookup_v4 v4;
    iphelper::process_lookup_v6 v6;
    owners().clear_calls();
    const wireguard::wg_config config = make_config({.allowed_apps = "CHROME.EXE"});
    const wireguard::classification_input input{&config, false, 3, capture};
    guarded_record r;
    load(r.record, eth_ipv4, tcp4(50000, ack).ip);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(wireguard::classify_frame(input, r.record, {&v4, &v6}));
    EXPECT_TRUE(owners().calls().empty());
    EXPECT_TRUE(take_lines().empty());
}

TEST_F(classification, no_configuration_tunnels_nothing)
{
    guarded_record r;
    load(r.record, eth_ipv4, tcp4(50000).ip);
    EXPECT_FALSE(wireguard::classify_frame(wireguard::classification_input{}, r.record));
}

// ---- application matching -----------------------------------------------------------

struct match_case {
    const wchar_t* name;
    const wchar_t* path;
    const wchar_t* entry;
    bool match;
};

TEST(application_matching, entries_against_names_and_paths)
{
    const match_case rows[] = {
        {L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe", L"CHROME.EXE", true},
        {L"firefox.exe", L"C:\\x\\firefox.exe", L"FIREFOX", true},
        {L"firefox.exe", L"C:\\x\\firefox.exe", L"firefox", false}, // entries are upper-case already
        {L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe", L"C:\\PROGRAM FILES\\", true},
        {L"program files.exe", L"D:\\x.exe", L"C:\\PROGRAM FILES\\", false},
        {L"c.exe", L"C:/Tools/c.exe", L"C:/TOOLS", true},
        {L"tools.exe", L"C:\\x.exe", L"TOOLS/", false},
        {L"a.exe", L"C:\\a.exe", L"", true}, // an empty entry occurs everywhere
        {L"a.exe", L"C:\\a.exe", L"A.EXE.", false},
        {L"\u00e9t\u00e9.exe", L"C:\\x", L"\u00e9T\u00e9.EXE", true}, // only a to z are folded
        {L"\u00e9t\u00e9.exe", L"C:\\x", L"\u00c9T\u00c9.EXE", false},
        {L"svchost.exe", L"C:\\Windows\\system32\\svchost.exe", L"SYSTEM32", false},
        {L"svchost.exe", L"C:\\Windows\\system32\\svchost.exe", L"\\SYSTEM32\\", true},
    };
    for (const match_case& c : rows) {
        const iphelper::network_process p(1, c.name, c.path);
        EXPECT_EQ(wireguard::match_app(p, c.entry), c.match)
            << std::string(c.entry, c.entry + std::wcslen(c.entry)).size() << " entry of row " << (&c - rows);
    }
    const iphelper::network_process chrome_process(1, L"chrome.exe", L"C:\\chrome.exe");
    EXPECT_TRUE(wireguard::find_app({L"FIREFOX", L"CHROME"}, chrome_process));
    EXPECT_FALSE(wireguard::find_app({L"FIREFOX", L"EDGE"}, chrome_process));
    EXPECT_FALSE(wireguard::find_app({}, chrome_process));
}

TEST(application_matching, dns_cache_entries_in_any_case)
{
    EXPECT_TRUE(wireguard::is_dns_cache_entry(L"DNSCACHE"));
    EXPECT_TRUE(wireguard::is_dns_cache_entry(L"dnscache"));
    EXPECT_TRUE(wireguard::is_dns_cache_entry(L"svchost.exe -k DnsCache"));
    EXPECT_FALSE(wireguard::is_dns_cache_entry(L"DNS CACHE"));
    EXPECT_FALSE(wireguard::is_dns_cache_entry(L""));
}

// ---- the classifier object and its family lock ----------------------------------------

struct fake_manager {
    std::atomic<std::uint32_t> log_level{3};
    ::log_callback log_callback = nullptr;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

struct other_manager {
    std::uint32_t log_level = 0;
    ::log_callback log_callback = nullptr;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

std::atomic<int> lock_probe{-1};

void probe_lock(const char*)
{
    // The family lock is held while lines are written; another family's is not.
    std::thread t([] {
        const bool own = wireguard::classification_mutex<fake_manager>().try_lock();
        if (own)
            wireguard::classification_mutex<fake_manager>().unlock();
        const bool other = wireguard::classification_mutex<other_manager>().try_lock();
        if (other)
            wireguard::classification_mutex<other_manager>().unlock();
        lock_probe = (own ? 1 : 0) | (other ? 2 : 0);
    });
    t.join();
}

TEST_F(classification, the_classifier_reads_the_manager_at_every_call_under_its_family_lock)
{
    build_world();
    owners().add_tcp_connection("192.0.2.10", 50100, "198.51.100.7", 443, 100);
    fake_manager manager;
    const wireguard::classify_packet<fake_manager> classify(manager);
    guarded_record r;
    load(r.record, eth_ipv4, tcp4(50100).ip);
    EXPECT_FALSE(classify(r.record)); // no configuration yet

    manager.config = std::make_unique<wireguard::wg_config>(make_config({.allowed_apps = "CHROME.EXE"}));
    manager.log_callback = probe_lock;
    EXPECT_TRUE(classify(r.record));
    EXPECT_EQ(lock_probe.load(), 2);

    // A new configuration, bypass and level take effect on the next packet.
    manager.config = std::make_unique<wireguard::wg_config>(make_config({.dns = dns_v4, .bypass = true}));
    manager.dns_cache_bypass = true;
    manager.log_level = 0;
    manager.log_callback = capture;
    load(r.record, eth_ipv4, udp4(53000, 53).ip);
    EXPECT_FALSE(classify(r.record));
    EXPECT_TRUE(take_lines().empty());
    manager.dns_cache_bypass = false;
    EXPECT_TRUE(classify(r.record));

    EXPECT_NE(&wireguard::classification_mutex<fake_manager>(), &wireguard::classification_mutex<other_manager>());
    other_manager other;
    other.config = std::make_unique<wireguard::wg_config>(make_config({}));
    const wireguard::classify_packet<other_manager> classify_other(other);
    EXPECT_TRUE(classify_other(r.record));
}

TEST_F(classification, two_threads_of_one_family_take_turns)
{
    build_world();
    fake_manager manager;
    manager.config = std::make_unique<wireguard::wg_config>(make_config({.allowed_apps = "CHROME.EXE, FIREFOX"}));
    manager.log_level = 0;
    const wireguard::classify_packet<fake_manager> classify(manager);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            guarded_record r;
            for (int i = 0; i < 2000; ++i) {
                const std::uint16_t port = static_cast<std::uint16_t>(50000 + (i + t) % 3); // chrome, firefox, game
                load(r.record, eth_ipv4, tcp4(port, ack).ip);
                if (classify(r.record) != (port != 50002))
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- fragments: a datagram's tail goes where its head went -------------------------------

TEST_F(classification, the_tail_of_a_datagram_goes_where_its_head_went)
{
    iphelper::process_lookup_v4 v4;
    iphelper::process_lookup_v6 v6;
    build_world();
    const config_text configs[] = {
        {},
        {.allowed_apps = "CHROME.EXE"},
        {.allowed_apps = "FIREFOX", .disallowed_apps = "CHROME"},
        {.disallowed_apps = "CHROME.EXE"},
        {.allowed_ips = "198.51.100.0/24, 2001:db8::2/128", .allowed_apps = "DNSCACHE"},
        {.allowed_ips = "198.51.100.0/24", .disallowed_ips = "198.51.100.7"},
        {.allowed_ips = "::/0", .dns = dns_v4, .disallowed_apps = "DNSCACHE", .bypass = true},
        {.allowed_ips = "0.0.0.0/0", .dns = "2001:db8::53", .allowed_apps = "SYSTEM"},
    };
    const std::uint16_t ports[] = {50000, 50001, 50002, 50009, 40000, 40001, 53000, 40009};
    int checked = 0;
    for (const config_text& text : configs) {
        const wireguard::wg_config config = make_config(text);
        wireguard::fragment_decisions fragments;
        const wireguard::classification_input input{&config, text.bypass, 0, nullptr, &fragments};
        for (const std::uint16_t port : ports) {
            for (const bool is_udp : {false, true}) {
                for (const bool v6_packet : {false, true}) {
                    const std::uint8_t protocol = is_udp ? 17 : 6;
                    const bytes transport = is_udp ? udp(port, 443, pattern(64)) : tcp(port, 443, pattern(64), syn);
                    guarded_record head, tail;
                    if (v6_packet) {
                        load(head.record, eth_ipv6, ipv6(44, concat(fragment_header(protocol, 0, true), transport)));
                        load(tail.record, eth_ipv6, ipv6(44, concat(fragment_header(protocol, 12, false), pattern(40))));
                    } else {
                        load(head.record, eth_ipv4, ipv4(protocol, transport, 5, 0x2000));
                        load(tail.record, eth_ipv4, ipv4(protocol, pattern(40), 5, 0x000C));
                    }
                    const bool head_in = wireguard::classify_frame(input, head.record, {&v4, &v6});
                    const bool tail_in = wireguard::classify_frame(input, tail.record, {&v4, &v6});
                    checked += head_in ? 1 : 0;
                    EXPECT_EQ(tail_in, head_in) << "config " << (&text - configs) << " port " << port << " udp "
                                                << is_udp << " ipv6 " << v6_packet;
                }
            }
        }
    }
    EXPECT_GT(checked, 50);
}

TEST_F(classification, a_tail_is_matched_by_its_whole_key_and_forgotten_after_256_newer_heads)
{
    iphelper::process_lookup_v4 v4;
    iphelper::process_lookup_v6 v6;
    build_world();
    // Chrome's datagrams stay outside; a tail whose head was not seen goes by destination.
    const wireguard::wg_config config = make_config({.disallowed_apps = "CHROME.EXE"});
    wireguard::fragment_decisions fragments;
    const wireguard::classification_input input{&config, false, 0, nullptr, &fragments};
    const auto classify = [&](const frame& f) {
        guarded_record r;
        load(r.record, f.ether_type, f.ip);
        return wireguard::classify_frame(input, r.record, {&v4, &v6});
    };
    const auto head6 = [](std::uint32_t id) {
        return frame{eth_ipv6, ipv6(44, concat(fragment_header(17, 0, true, id), udp(40000, 443, pattern(64))))};
    };
    const auto tail6 = [](std::uint32_t id, ipv6_address src = ipv6_a) {
        return frame{eth_ipv6, ipv6(44, concat(fragment_header(17, 9, false, id), pattern(40)), src)};
    };
    const frame head4{eth_ipv4, ipv4(17, udp(40000, 443, pattern(64)), 5, 0x2000)};
    const frame tail4{eth_ipv4, ipv4(17, pattern(40), 5, 0x0009)};

    ASSERT_FALSE(classify(head6(0x00010002)));
    ASSERT_FALSE(classify(head4));
    EXPECT_FALSE(classify(tail6(0x00010002)));
    EXPECT_FALSE(classify(tail4));
    EXPECT_TRUE(classify(tail6(0x00020002))) << "identification differs in its upper 16 bits";
    EXPECT_TRUE(classify(tail6(0x00010002, ipv6_address{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9})))
        << "another source";
    EXPECT_TRUE(classify({eth_ipv4, ipv4(6, pattern(40), 5, 0x0009)})) << "another protocol";

    for (std::uint32_t id = 1; id < wireguard::fragment_decisions::capacity; ++id)
        classify(head6(0x10000 + id));
    EXPECT_FALSE(classify(tail4)) << "still among the newest 256";
    classify(head6(0x10000));
    EXPECT_TRUE(classify(tail4)) << "replaced by the 256th newer head";
}

// ---- hostile frames -----------------------------------------------------------------------

// Whether a frame that fails the frame checks may stay outside the tunnel: it carries
// no IP payload, or no rule could tunnel a packet to its destination.
bool may_stay_outside(const _INTERMEDIATE_BUFFER& r, const wireguard::wg_config& config)
{
    if (r.length > 1514)
        return false;
    if (r.length < 14)
        return true;
    const std::uint16_t type = static_cast<std::uint16_t>(r.frame[12] << 8 | r.frame[13]);
    if (type != eth_ipv4 && type != eth_ipv6)
        return true;
    const bool v4 = type == eth_ipv4;
    const std::size_t at = v4 ? 30 : 38;
    const std::size_t n = v4 ? 4 : 16;
    if (r.length < at + n)
        return true;
    const auto in = [&](const std::vector<wireguard::ip_subnet>& list) {
        for (const auto& s : list) {
            if (s.family != (v4 ? wireguard::family_ipv4 : wireguard::family_ipv6))
                continue;
            bool match = true;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t mask = v4 ? std::get<wireguard::ipv4_subnet>(s.subnet).mask[i]
                                             : std::get<wireguard::ipv6_subnet>(s.subnet).mask[i];
                const std::uint8_t net = v4 ? std::get<wireguard::ipv4_subnet>(s.subnet).address[i]
                                            : std::get<wireguard::ipv6_subnet>(s.subnet).address[i];
                match = match && (r.frame[at + i] & mask) == (net & mask);
            }
            if (match)
                return true;
        }
        return false;
    };
    if (in(config.peer_config.disallowed_ips))
        return true;
    if (in(config.peer_config.allowed_ips))
        return false;
    return config.interface_config.dns.empty() || (v4 && r.frame[23] != 17);
}

TEST_F(classification, random_hostile_frames_neither_crash_nor_change_the_record_nor_leak)
{
    iphelper::process_lookup_v4 v4;
    iphelper::process_lookup_v6 v6;
    build_world();
    std::mt19937 random(20240611);
    const wireguard::wg_config configs[] = {
        make_config({}),
        make_config({.allowed_ips = "198.51.100.0/24, 2001:db8::/64", .disallowed_ips = "198.51.100.7",
                     .dns = dns_v4, .allowed_apps = "CHROME.EXE", .disallowed_apps = "DNSCACHE"}),
        make_config({.allowed_ips = "10.0.0.0/8", .dns = "2001:db8::53", .disallowed_apps = "FIREFOX"}),
    };
    const frame seeds[] = {tcp4(50000),
                           udp4(53000, 53),
                           {eth_ipv4, ipv4(1, echo(8, pattern(30)))},
                           {eth_ipv4, ipv4(17, udp(40000, 53, pattern(30)), 7, 0x2000)},
                           tcp6(50000),
                           udp6(40000, 53),
                           {eth_ipv6, ipv6(0, concat(options_header(44), concat(fragment_header(6, 0, true), tcp(50000, 443, {}, syn))))},
                           {eth_ipv6, ipv6(60, concat(options_header(43, 1), concat(routing_header(17), udp(1, 53, {}))))}};
    int malformed = 0;
    for (int i = 0; i < 20000; ++i) {
        const frame& seed = seeds[random() % std::size(seeds)];
        guarded_record r;
        load(r.record, seed.ether_type, seed.ip);
        // Mutate: random bytes anywhere in the headers, a new length, or both.
        const int edits = static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e)
            r.record.frame[random() % 120] = static_cast<std::uint8_t>(random());
        switch (random() % 5) {
        case 0:
            r.record.length = static_cast<std::uint32_t>(random() % 1700);
            break;
        case 1:
            r.record.length = static_cast<std::uint32_t>(random()); // anything at all
            break;
        case 2:
            r.record.length = static_cast<std::uint32_t>(random() % (seed.ip.size() + 15));
            break;
        default:
            break;
        }
        const _INTERMEDIATE_BUFFER before = r.record;
        const auto& config = configs[random() % std::size(configs)];
        if (i % 1000 == 0)
            owners().clear_calls();
        const wireguard::classification_input input{&config, (random() & 1) != 0, 3, capture};
        const bool tunnel = wireguard::classify_frame(input, r.record, {&v4, &v6});
        take_lines();
        ASSERT_EQ(std::memcmp(&before, &r.record, sizeof before), 0) << "iteration " << i;
        ASSERT_TRUE(r.canary_intact()) << "iteration " << i;
        if (!rimcap::frame_view(r.record).ok()) {
            ++malformed;
            if (!tunnel) {
                EXPECT_TRUE(may_stay_outside(r.record, config)) << "iteration " << i;
            }
        }
    }
    EXPECT_GT(malformed, 1000);
}
} // namespace
