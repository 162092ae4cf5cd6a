# The roster table in awk, flushing every line: a reference for the benchmark.
# Run in the C locale, so that widths count bytes:
#   LC_ALL=C awk -f roster.awk sample-50-recs.csv
BEGIN {
    FS = ","
    separator = sprintf("%129s", "")
    gsub(/ /, "=", separator)
    print separator
    printf "%-8s%-11s%-36s%-16s%-16s%-16s%-36s\n", \
        "Idx", "IC", "Name", "Phone", "BirthDate", "HiredDate", "Email"
    print separator
    fflush()
}
NR > 1 {
    birthDate = $7
    gsub(/^[ \t\r\n]+|[ \t\r\n]+$/, "", birthDate)
    printf "%-8d%-11s%-36s%-16s%-16s%-16s%-36s\n", \
        NR - 2, $4, $2, $5, birthDate, $6, $3
    fflush()
}
