# Turns benchrun's results into the tables of scripts/bench.sh. Input: one line a row, tab-separated (see
# benchrun.cpp), the first field a key that says how the row is read:
#   start|TEXT                          a start-to-exit row
#   child|NAME                          a program that chores start and await, timed by itself
#   chore|TEXT|PAUSE_MS|CHILD,CHILD...  a chore, its fixed pauses and the programs it waits for
#   walk, log0, log                     the argument walk and the log lines
# Variables: machine, runs, size, empty_size, walk_arguments, log_lines.
# A median's standard error is taken as 0.93 IQR / sqrt(runs), which holds for a normal spread; a sum or
# difference of medians adds their errors in quadrature. A target counts as met or missed only when the value is
# more than two standard errors from it, otherwise the row says "noise".

BEGIN { FS = "\t" }

{
    key = $1
    order[++rows] = key
    count[key] = $2; median[key] = $3; low[key] = $4; high[key] = $5; q1[key] = $6; q3[key] = $7
    peak[key] = $8; code[key] = $9; other[key] = $10; failed[key] = $11
}

function times(key) {
    return sprintf("%7.1f %7.1f %7.1f %7.1f %7.1f", median[key], q1[key], q3[key], low[key], high[key])
}

function error(key) {
    # A single run has no spread of its own: it gets the spread of one run of the program's plain start.
    if (count[key] < 2)
        return (q3[start] - q1[start]) / 1.349
    return 0.93 * (q3[key] - q1[key]) / sqrt(count[key])
}

function kib(value) {
    return value < 0 ? "not reported" : sprintf("%d KiB", value)
}

function verdict(value, err, limit) {
    if (value + 2 * err < limit) return "met"
    if (value - 2 * err > limit) return "NOT met"
    return "noise"
}

function heading(title, extra) {
    printf "%-42s %7s %7s %7s %7s %7s%s\n", title, "median", "q1", "q3", "min", "max", extra
}

END {
    start = "start|Instelix.exe"
    empty = "start|empty.exe (yardstick)"
    unmatched = "start|Instelix.exe /nosuchswitch"
    imports = "start|empty.exe with Instelix's imports"
    printf "== %s, %d runs a row, times in ms\n\n", machine, runs

    heading("Start to exit", "  peak working set")
    for (i = 1; i <= rows; i++) {
        split(order[i], part, "|")
        if (part[1] == "start")
            printf "  %-40s %s  %s\n", part[2], times(order[i]), kib(peak[order[i]])
    }
    ratio = median[start] / median[empty]
    printf "  %-40s %7.2f  (target at most 1.05: %s)\n", "Instelix.exe / empty.exe", ratio, verdict(ratio, 0, 1.05)
    ratio = median[unmatched] / median[empty]
    printf "  %-40s %7.2f  (target at most 1.05: %s)\n", "Instelix.exe /nosuchswitch / empty.exe", ratio,
        verdict(ratio, 0, 1.05)
    printf "  %-40s %7.2f\n", "Instelix.exe / empty.exe with its imports", median[start] / median[imports]
    printf "\nSize: Instelix.exe %d bytes = %.1f KiB (target at most 64 KiB: %s); empty.exe %d bytes = %.1f KiB\n",
        size, size / 1024, verdict(size, 0, 65537), empty_size, empty_size / 1024

    printf "\n"
    heading("Chore (sandbox machine, suite installed)", sprintf(" %7s %14s  %-7s %s", "waits", "overhead", "target", "exit"))
    for (i = 1; i <= rows; i++) {
        key = order[i]
        split(key, part, "|")
        if (part[1] != "chore") continue
        waits = part[3]
        variance = error(key) ^ 2 + error(start) ^ 2
        n = split(part[4], child, ",")
        for (c = 1; c <= n; c++) {
            waits += median["child|" child[c]]
            variance += error("child|" child[c]) ^ 2
        }
        overhead = median[key] - median[start] - waits
        err = sqrt(variance)
        exit_text = code[key] (other[key] > 0 ? "*" : "") (failed[key] > 0 ? "!" : "")
        printf "  %-40s %s %7.1f %+6.1f +- %4.1f  %-7s %s\n", part[2], times(key), waits, overhead, err,
            verdict(overhead, err, 20), exit_text
    }
    heading("Programs the chores start and wait for", "")
    for (i = 1; i <= rows; i++) {
        split(order[i], part, "|")
        if (part[1] == "child")
            printf "  %-40s %s\n", "stand-in " part[2], times(order[i])
    }
    printf "  waits: the chore's fixed pauses plus the median of each program it starts and waits for.\n"
    printf "  overhead: median less waits less the plain start of Instelix.exe (%.1f ms), +- one standard error;\n",
        median[start]
    printf "  target under 20 ms.\n"

    printf "\n"
    heading("Per item", "  per item")
    walk = (median["walk"] - median[unmatched]) / walk_arguments
    walk_err = sqrt(error("walk") ^ 2 + error(unmatched) ^ 2) / walk_arguments
    printf "  %-40s %s  %.2f +- %.2f us\n", sprintf("Instelix.exe, %d unmatched arguments", walk_arguments),
        times("walk"), walk * 1000, walk_err * 1000
    printf "  %-40s %s\n", "logbench.exe writing no line", times("log0")
    line = (median["log"] - median["log0"]) / log_lines
    line_err = sqrt(error("log") ^ 2 + error("log0") ^ 2) / log_lines
    printf "  %-40s %s  %.3f +- %.3f ms\n", sprintf("logbench.exe writing %d lines", log_lines), times("log"),
        line, line_err
    printf "  per item: (median less the one-argument run) / count, +- one standard error.\n"

    for (i = 1; i <= rows; i++)
        if (other[order[i]] > 0 || failed[order[i]] > 0) {
            printf "\n* exit code differed between runs; ! some runs could not be started or were ended\n"
            break
        }
}
