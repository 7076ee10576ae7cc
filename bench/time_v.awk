# Reads the report of `/usr/bin/time -v` and prints "WALL PEAK_MIB" (wall seconds, the largest
# resident set in MiB); with -v killed=1 the wall time is marked "(killed)".
BEGIN { FS = ": " }
/Elapsed \(wall clock\)/ { n = split($2, p, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + p[i] }
/Maximum resident set size/ { m = $2 / 1024 }
END { printf "%.2f%s %.1f\n", w, killed ? "(killed)" : "", m }
