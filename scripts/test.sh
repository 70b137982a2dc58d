#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: first the portable
# code natively under AddressSanitizer and UndefinedBehaviorSanitizer, then all tests
# of the Windows build under Wine. Ends with CTest's summary of the Windows run, then
# one line that names every Windows test program that ran again, and why ("reruns: none"
# when none did).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# The rerun line from CTest's output log: a test program with more than one result line
# ran again; each run's outcome and time are given in order, e.g.
# "reruns: engine_e2e (Timeout 300.05 sec, then Passed 41.20 sec)".
rerun_line() {
    awk '
        /^ *([0-9]+\/[0-9]+ +)?Test +#[0-9]+: / {
            rest = $0
            sub(/^ *([0-9]+\/[0-9]+ +)?Test +#[0-9]+: /, "", rest)
            name = rest
            sub(/ .*/, "", name)
            outcome = rest
            sub(/^[^ ]+ \.* */, "", outcome)
            sub(/^\*\*\*/, "", outcome)
            sub(/ +[0-9.]+ sec$/, " &", outcome)
            gsub(/  +/, " ", outcome)
            if (!(name in runs)) {
                order[++count] = name
                runs[name] = outcome
            } else {
                runs[name] = runs[name] ", then " outcome
            }
            times[name]++
        }
        END {
            text = ""
            for (i = 1; i <= count; ++i)
                if (times[order[i]] > 1)
                    text = text (text == "" ? "" : "; ") order[i] " (" runs[order[i]] ")"
            print "reruns: " (text == "" ? "none" : text)
        }' "$1"
}

bash "$top/scripts/setup.sh" || exit 1
bash "$top/scripts/build.sh" || exit 1
jobs=$(nproc)
native=0
ctest --test-dir "$top/build/native" -j "$jobs" --output-on-failure || native=1
# A Wine program that hangs (Wine itself, now and then, when many programs start at
# once on a busy machine) runs a second time; one that fails does not. CTest also
# writes what it shows to a log, from which the rerun line is made.
windows_log=$(mktemp)
trap 'rm -f "$windows_log"' EXIT
ctest --test-dir "$top/build/windows" -j "$jobs" --output-on-failure --repeat after-timeout:2 \
    --output-log "$windows_log"
windows=$?
[ "$native" = 0 ] || echo "native tests failed"
rerun_line "$windows_log"
exit $(( native | windows ))
