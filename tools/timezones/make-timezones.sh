#!/bin/sh
# Writes the daemon's zone table (timezones.ini: "IANA name=POSIX TZ string" per line, sorted)
# from a compiled IANA time zone database such as Debian's tzdata. The POSIX string of a zone is
# the footer of its compiled file: the text on the file's last line.
#
# Usage: make-timezones.sh ZONEINFO_DIR OUTPUT
set -eu

if [ "$#" -ne 2 ]; then
    echo "usage: $0 ZONEINFO_DIR OUTPUT" >&2
    exit 2
fi
zoneinfo=$1
output=$2
if [ ! -f "$zoneinfo/Europe/Berlin" ]; then
    echo "$zoneinfo holds no compiled zone files (install tzdata)" >&2
    exit 1
fi

LC_ALL=C
export LC_ALL
temporary="$output.tmp.$$"
trap 'rm -f "$temporary"' EXIT

{
    echo "# IANA time zone name=POSIX TZ string, generated from $zoneinfo"
    # posix/ and right/ repeat every zone under another root; posixrules and localtime are
    # not zones; only version 2 and later files carry the footer.
    find "$zoneinfo" \( -type f -o -type l \) ! -path "$zoneinfo/posix/*" ! -path "$zoneinfo/right/*" \
        ! -name posixrules ! -name localtime ! -name '*.*' | sort | while read -r file; do
        case $(head -c 5 "$file") in
            TZif2 | TZif3 | TZif4) ;;
            *) continue ;;
        esac
        rule=$(tail -n 1 "$file")
        if [ -n "$rule" ]; then
            printf '%s=%s\n' "${file#"$zoneinfo"/}" "$rule"
        fi
    done
} >"$temporary"
mv "$temporary" "$output"
trap - EXIT
