#!/bin/sh
# Checks the export table of tundrel.dll: exactly the twenty functions of the two
# families, each with its ordinal, unmangled.
#   check_exports.sh path/to/tundrel.dll
set -eu
dll=$1
expected='1 tdl_create_tunnel
2 tdlp_create_tunnel
3 tdl_create_tunnel_from_file
4 tdl_create_tunnel_from_file_w
5 tdl_drop_tunnel
6 tdl_get_handle
7 tdl_get_tunnel_active
8 tdl_get_tunnel_state
9 tdl_set_log_level
10 tdl_start_tunnel
11 tdl_stop_tunnel
12 tdlp_create_tunnel_from_file
13 tdlp_create_tunnel_from_file_w
14 tdlp_drop_tunnel
15 tdlp_get_handle
16 tdlp_get_tunnel_active
17 tdlp_get_tunnel_state
18 tdlp_set_log_level
19 tdlp_start_tunnel
20 tdlp_stop_tunnel'

dump=$(x86_64-w64-mingw32-objdump -p "$dll")
base=$(printf '%s\n' "$dump" | sed -n 's/.*Ordinal Base \([0-9][0-9]*\).*/\1/p' | head -n 1)
if [ -z "$base" ]; then
    echo "no export table in $dll" >&2
    exit 1
fi
# The name table lists "[index] name"; the ordinal is the index plus the base.
actual=$(printf '%s\n' "$dump" | awk -v base="$base" '
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^[ \t]*$/ { table = 0 }
    table && match($0, /\[ *[0-9]+\]/) {
        index_text = substr($0, RSTART + 1, RLENGTH - 2)
        gsub(/ /, "", index_text)
        name = substr($0, RSTART + RLENGTH)
        gsub(/^[ \t]+|[ \t]+$/, "", name)
        print index_text + base, name
    }' | sort -n)
if [ "$actual" != "$expected" ]; then
    echo "export table of $dll differs" >&2
    echo "expected:" >&2
    printf '%s\n' "$expected" >&2
    echo "actual:" >&2
    printf '%s\n' "$actual" >&2
    exit 1
fi
count=$(printf '%s\n' "$dump" | sed -n 's/.*\[Name Pointer\/Ordinal\] Table[ \t]*\([0-9a-fA-F]*\).*/\1/p' | head -n 1)
if [ "$((0x$count))" -ne 20 ]; then
    echo "the library exports $((0x$count)) names, not 20" >&2
    exit 1
fi
echo "tundrel.dll exports the twenty functions with their ordinals"
