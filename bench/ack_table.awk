# The table of bench/latency.sh ack and bench/stick_ack.sh. Input: one line
# per case, "WHAT|roundtrip's figures|the daemon's statistics", direct mode
# first; -v count=N (samples per case) and -v stick=TEXT (what the stick was).
function get(key) { return key in v ? v[key] : "-" }
BEGIN { FS = "|" }
{
    split($2, r, " ")
    what[NR] = $1; med[NR] = r[2]; p99[NR] = r[4]; tcp[NR] = r[6]; tcp99[NR] = r[8]; lost[NR] = r[10]
    delete v
    n = split($3, kv, /[ =]/)
    for (i = 1; i < n; i += 2)
        v[kv[i]] = kv[i + 1]
    seen[NR] = sprintf("exchanges %s, acknowledged %s, stored %s, delivered %s, exc4 %s, exc11 %s",
        get("SERVER_EXCHANGES"), get("CACHE_ACKNOWLEDGED"), get("CACHE_STORED"), get("CACHE_DELIVERED"),
        get("LINE_EXCEPTIONS_4"), get("LINE_EXCEPTIONS_11"))
}
END {
    printf "%-40s %9s %9s %8s %8s %8s %8s %5s\n", "write single register, answer after", "median", "p99",
        "med/dir", "p99/dir", "tcp_med", "tcp_p99", "lost"
    for (i = 1; i <= NR; ++i)
        printf "%-40s %7.0fus %7.0fus %7.2fx %7.2fx %6.0fus %6.0fus %5s\n", what[i], med[i], p99[i],
            (med[1] > 0 ? med[i] / med[1] : 0), (p99[1] > 0 ? p99[i] / p99[1] : 0), tcp[i], tcp99[i], lost[i]
    print ""
    print "From the last request byte written on the pty to the last answer byte read; split 0,"
    print "1 ms of quiet before each request."
    print "med/dir, p99/dir: against the median and p99 of direct mode (first row). tcp_med, _p99:"
    print "the same write straight to a second server over TCP, interleaved with each case (what"
    print "the machine's other load did to a plain exchange meanwhile)."
    print stick
    print count " samples per path and case. What the daemon counted in each case:"
    for (i = 1; i <= NR; ++i)
        printf "  %-40s %s\n", what[i], seen[i]
}
